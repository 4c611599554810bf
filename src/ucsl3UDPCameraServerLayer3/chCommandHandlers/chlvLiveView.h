// Live view for the camera server: frames streamed over TCP for as long as the server asked.
#ifndef CHLV_LIVE_VIEW_H
#define CHLV_LIVE_VIEW_H

// Ends live view at once; `func_name` goes into the log.
void abortLiveView(const char* func_name);

#endif  // CHLV_LIVE_VIEW_H
