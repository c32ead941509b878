#include "shell/qt/entry.h"

// STUB: filled by the shell work.
int vorlinexMain(int, char**, const std::function<void(QWidget*)>&) { return 0; }
void shutdownVorlinex() {}
