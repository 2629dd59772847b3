// SPDX-License-Identifier: MIT
// Strict reading of a dotted-quad IPv4 address, the only form of target the
// worker sends to.
#pragma once

#include <QString>

// True for four decimal numbers 0..255 joined by dots, surrounding white space
// ignored. Anything else, including leading zeros ("010": octal to some
// readers), the short forms ("127.1") and IPv6 text, is refused, so a typo
// never turns into some other host. On success *address holds the address in
// host order. Allocates nothing.
bool parseDottedQuad(const QString &text, quint32 *address);
