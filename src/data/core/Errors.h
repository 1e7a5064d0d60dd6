// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <stdexcept>

namespace varozidi {

// A failure with a message meant for the user. Handlers let it pass; the guard around
// every handler shows it in the standard error box.
class Error : public std::runtime_error {
public:
    explicit Error(const QString& message)
        : std::runtime_error(message.toStdString()), message_(message) {}
    const QString& message() const noexcept { return message_; }

private:
    QString message_;
};

// The disk failed under a read or a write (an input/output error): what it holds may be sound,
// and the message says so rather than call it damaged.
class DiskError : public Error {
public:
    using Error::Error;
};

// A failure after a change was made (reading its outcome back): told as such, so that nobody
// makes the change a second time.
class AfterChangeError : public Error {
public:
    using Error::Error;
};

// The text to show for any failure that reaches a handler's guard.
inline QString messageOf(const std::exception& e) {
    if (auto* err = dynamic_cast<const Error*>(&e))
        return err->message();
    return QString::fromLocal8Bit(e.what());
}

} // namespace varozidi
