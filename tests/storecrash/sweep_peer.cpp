// The crash child's commands: one step of a script per command, each answered only when it has
// finished, so that the driver knows which step a crash interrupted.
#include "support/store_peer_commands.h"
