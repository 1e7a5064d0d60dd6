// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Waiting on the user-interface thread, as the old toolkit's application object did it.

// Handles the window events already waiting (a window just shown paints), then returns.
void ProcessMessages();

// Blocks the caller for ms milliseconds. Windows keep painting meanwhile, but no click or
// key reaches them, so no handler can run in the middle of the caller's work.
void Sleep(int ms);
