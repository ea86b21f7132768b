// The connection options dialog: edits a connection's serial line, framing,
// connection mode and transaction timing.
#pragma once

#include <Quorvel.h>

#include <QString>

// Shows the dialog for Connection with Caption; on OK applies the values to
// the connection (closing and reopening it where a change needs that) and
// returns true; on Cancel changes nothing and returns false. Errors of
// applying or reopening are raised.
bool EditModbusConnection(Quorvel::TModbusConnection& Connection, const QString& Caption);

// Whether the dialog exists yet: the main window enables its menu item by it.
inline constexpr bool ConnectionEditorAvailable = false;
