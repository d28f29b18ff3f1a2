// Whether the tests run through a user-mode emulator (qemu-user in a
// cross build), which passes most system calls straight to the build
// machine's kernel but not all of them faithfully.
#ifndef TEST_EMULATOR_H
#define TEST_EMULATOR_H

#include <cstdlib>

// The emulator's name, as the cross build's toolchain file passes it in
// TEST_EMULATOR, or nullptr when the tests run natively.
inline const char *testEmulator()
{
    const char *name = std::getenv("TEST_EMULATOR");
    return name != nullptr && name[0] != '\0' ? name : nullptr;
}

#endif
