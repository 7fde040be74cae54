#pragma once

// The shared library is built with hidden visibility, so that hosts see its public classes and
// functions and nothing of its internals or of the libraries it embeds. LUMO_API marks what
// they see. A static build gives the mark no meaning beyond the same default visibility.
#if defined(__GNUC__)
#define LUMO_API __attribute__((visibility("default")))
#else
#define LUMO_API
#endif
