// SPDX-License-Identifier: Apache-2.0
#include "base/messages.h"

#include <cstdio>

#include "base/one_line.h"

namespace {
const char* g_message_program = kWindowProgram;
}  // namespace

void set_message_program(const char* program) { g_message_program = program; }

const char* message_program() { return g_message_program; }

void print_message(const std::string& message)
{
    std::fprintf(stderr, "%s: %s\n", g_message_program, one_line(message).c_str());
}
