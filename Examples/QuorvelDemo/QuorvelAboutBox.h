// The about box: the library's version and the maker's contact links.
#pragma once

// Shows the about box modally.
void ShowAboutBox();
