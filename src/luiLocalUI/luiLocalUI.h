// The local UI: the "lui" thread that acts on the camera's two buttons, one press at a time in
// arrival order: start or stop recording, step the capture interval, or, with both held for 7 s,
// reset the camera to factory defaults and reboot.
#ifndef LUI_LOCAL_UI_H
#define LUI_LOCAL_UI_H

#include <stdint.h>

// Logs the entry line and sets up the press queue.
void luiLocalUI_Init(void);
// Creates the "lui" thread.
void luiLocalUI_StartThreads(void);
// A button press (i2cButtons_t bits) from the "i2c" thread; dropped with a log line when 8 presses
// already wait.
void queueIncomingButtonMsg(uint16_t button);

#endif  // LUI_LOCAL_UI_H
