// The fuzz input that the fake SKF library answers from, call by call.
#ifndef KEYMGR_FUZZ_FAKESKF_H
#define KEYMGR_FUZZ_FAKESKF_H

#include <cstddef>
#include <cstdint>

extern "C" void fakeskf_script(const uint8_t* data, size_t size);

#endif
