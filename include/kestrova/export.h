// The launcher is built with hidden visibility: only what is marked here reaches the executable's
// dynamic symbol table (and only if the link's export list names it too).
#pragma once

#define KESTROVA_EXPORT __attribute__((visibility("default")))
