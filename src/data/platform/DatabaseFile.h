#pragma once

#include <QString>

// A program stopped in the middle of a write leaves a "hot" journal beside the database: the
// file itself may then hold half of that write until the next connection rolls it back. A
// copy of the file alone would keep the half-written state, and a file put in its place would
// have the old journal played into it. This rolls any such journal back now; with none it
// changes nothing. Throws varozidi::Error when the file cannot be opened to do so.
void SettleDatabaseFile(const QString& path);
