// Shell: the chunk writes and the update-file clean-up come with the update-file push.
#include "tcsl1TCPCameraServerLayer1/rfwcRootFileWriteChunk/rfwcRootFileWriteChunk.h"

void rfwcHandleSysstateChanges(void) {}
