#pragma once

// Symbols of libtarvos are hidden unless marked: TARVOS_API marks the classes, functions and
// variables that host programs and plug-ins may use.
#define TARVOS_API __attribute__((visibility("default")))

// Marks internal classes (declared under internal/, not installed) whose symbols the library's
// own tests reach. They are not part of the API and may change at any time.
#define TARVOS_INTERNAL __attribute__((visibility("default")))
