// The reserved area in an ELF executable. It is defined in assembly so that nothing but the
// read-only data holds its bytes: the compiler cannot fold reads of a fill it never sees, and a
// debug build's description of a C++ constant would carry a second copy of the run for the
// packaging tool to trip over.
#include "platform/reserved_area.h"

#include "kestrova/burned_in_data.h"

static_assert(kestrova::reserved_area_size == 16463 && kestrova::reserved_area_fill == 0x5f,
              "the assembly below spells out the area's size and fill");
asm(R"(
    .section .rodata.kestrova_reserved_area, "a"
    .balign 16
    .type kestrova_reserved_area, @object
    .size kestrova_reserved_area, 16464
    .hidden kestrova_reserved_area
    .globl kestrova_reserved_area
kestrova_reserved_area:
    .fill 16463, 1, 0x5f
    .byte 0
    .previous
)");
