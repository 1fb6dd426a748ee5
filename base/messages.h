// SPDX-License-Identifier: Apache-2.0
#pragma once
// The programs' names and their one-line messages on standard error, for every
// floor that prints one: "<program>: <message>".

#include <string>

#include "base/messages.h"

// Each program's name, written here only.
inline constexpr const char* kWindowProgram = "vantrel";
inline constexpr const char* kRenderProgram = "vantrel-render";

// The name that starts every message of this process: the window program's,
// unless a program names itself first thing (vantrel-render does).
void set_message_program(const char* program);
const char* message_program();

// "<program>: <message>" on stderr, the message on one line (one_line).
void print_message(const std::string& message);

// Exit status for bad input: an unknown option, a bad value or path.
inline constexpr int kUsageStatus = 2;
