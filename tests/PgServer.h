// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// A PostgreSQL server of the tests' own: initdb into a temporary folder, loopback only, a free
// port, run as an unprivileged user when the tests run as root; stopped when the test program
// ends. VAROZIDI_TEST_ENGINE=postgresql runs a suite's collection on it instead of a file.

#include <QList>
#include <QString>

namespace testsupport {

struct Row;

// True when this run keeps the collection on the test server.
bool onServer();
// Why the test server cannot run here (no server programs), or empty.
QString serverMissing();
// The address of the test server's database, the server started on first use.
QString serverUri();
// The address of a second test server, one that lacks extension (one only per run); empty
// where none can be made.
QString serverUriWithout(const QString& extension);
// A user of the test server who must give the password kServerPassword (the others need none),
// and its address with the password given (none where null).
inline constexpr char kPasswordUser[] = "pwuser";
inline constexpr char kServerPassword[] = "Right-Pass-42";
QString passwordUserUri(const QString& password);
// The snippet table on the server made afresh, holding rows with IDs 1, 2, ...
void resetServerTable(const QList<Row>& rows);

} // namespace testsupport

// In a suite's initTestCase: skips the whole suite, with the reason, where the engine it is
// to run on is missing.
#define VAROZIDI_REQUIRE_ENGINE()                                                                  \
    do {                                                                                           \
        if (testsupport::onServer() && !testsupport::serverMissing().isEmpty())                    \
            QSKIP(qPrintable(testsupport::serverMissing()));                                       \
    } while (false)
