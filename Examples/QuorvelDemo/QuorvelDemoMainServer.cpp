// The main window's local server item map ("Local Server's Item Map"): the
// map's page, its file "ServerItems.dat" and the server's item events.

#include "QuorvelDemoMain.h"

void TQuorvelDemoMainForm::ConnectServerItemMap() {
    // No item map exists yet: the server's events stay unassigned, so it
    // refuses every command and item.
}

void TQuorvelDemoMainForm::LoadServerItems(const QString& aFileName) {
    // The map and its record format arrive with the map's page; until then the
    // map is empty and the file is neither read nor changed.
    (void)aFileName;
}
