#include "server/server.h"

// Command-line arguments are ignored: the settings file beside the executable is the only
// configuration.
int main() { return kavo::ProcessEntry(); }
