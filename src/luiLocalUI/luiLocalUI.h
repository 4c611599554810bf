// The local UI: the "lui" thread that acts on the camera's buttons (recording, interval, factory
// reset).
#ifndef LUI_LOCAL_UI_H
#define LUI_LOCAL_UI_H

void luiLocalUI_Init(void);
// Creates the "lui" thread.
void luiLocalUI_StartThreads(void);

#endif  // LUI_LOCAL_UI_H
