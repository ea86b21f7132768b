#include "ModbusConnectionEditor.h"

// Until the dialog exists there is nothing to confirm: the connection stays as
// it is, as after Cancel.
bool EditModbusConnection(Quorvel::TModbusConnection&, const QString&) {
    return false;
}
