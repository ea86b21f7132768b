#include "QuorvelAboutBox.h"

// The about box has no content yet; the menu command shows nothing.
void ShowAboutBox() {}
