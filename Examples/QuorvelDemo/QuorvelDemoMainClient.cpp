// The main window's client operation pages ("Discrete Access", "Register
// Access", "Server Diagnostics"): their buttons, edits and lists, and the
// reports of the client's completion events.

#include "QuorvelDemoMain.h"

void TQuorvelDemoMainForm::ConnectClientPanels() {
    // The pages have no controls yet: no completion event is handled, so a
    // finished request reports nothing.
}

void TQuorvelDemoMainForm::PrepareClientPanels() {
    // No coil or register list exists yet.
}
