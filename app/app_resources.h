#pragma once

// Registers the compiled resources (images and style sheet). They live in a static library,
// whose resource object the linker would otherwise drop as unreferenced. Safe to call more
// than once; call it before the first ":/" path is used.
void initAppResources();
