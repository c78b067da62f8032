// Byte blocks as upper-case hexadecimal text, two digits a byte, no
// separators:  {0x00, 0x0A, 0xFF, 0x10} => "000AFF10".
#ifndef VQLOGGER_RUNTIME_HEX_DUMP_H_
#define VQLOGGER_RUNTIME_HEX_DUMP_H_

namespace vqlogger {

// Writes 2 * count digits and a terminating zero into `destination` (at
// least 2 * count + 1 bytes). False, writing nothing, when `block` or
// `destination` is null (whatever the count).
bool BytesToHex(const void* block, unsigned count, char* destination);

}  // namespace vqlogger

#endif  // VQLOGGER_RUNTIME_HEX_DUMP_H_
