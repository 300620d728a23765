#pragma once

// Build settings arrive as narrow string literals (-DNAME="text"); the
// program's texts are wide.
#define TAVRO_WIDEN2(text) L##text
#define TAVRO_WIDEN(text) TAVRO_WIDEN2(text)
