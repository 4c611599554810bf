// Shell: the LiveView command, its frame task and its poll come with the command handlers.
#include "ucsl3UDPCameraServerLayer3/chCommandHandlers/chlvLiveView.h"

// Shell: no live view can be running yet.
void abortLiveView(const char* /*func_name*/) {}
