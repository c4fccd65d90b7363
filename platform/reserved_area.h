// The launch record's reserved area: reserved_area_size bytes of reserved_area_fill followed by a
// NUL (kestrova/burned_in_data.h), in the executable's read-only data. The packaging tool finds it
// in the built executable and overwrites its start with the record. Each backend defines it in its
// executable format's own terms, so that nothing but the read-only data holds its bytes.
#pragma once

extern "C" __attribute__((visibility("hidden"))) const char kestrova_reserved_area[];
