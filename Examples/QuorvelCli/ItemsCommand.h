// quorvel items: lists and edits an item map file ("ServerItems.dat").
#pragma once

#include "CliArguments.h"
#include "ItemMap.h"

namespace QuorvelCli {

// Runs "items FILE [list|add|remove|sample ...]"; returns the exit status.
int RunItemsCommand(const TCommandLine& Line);

// One line per item, in the demo's columns: address, kind, value, min, max, status.
std::vector<std::string> ItemTable(const TItemMap& Map);

} // namespace QuorvelCli
