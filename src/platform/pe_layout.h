// Where the fields the program checks sit in a 64-bit PE image's headers, as the loader maps
// them: the main executable's validation and its import lookup read the same fields. Plain
// constants, any thread.
#pragma once

#include <cstdint>

namespace corvane {

// IMAGE_DOS_HEADER.
inline constexpr uint32_t kDosHeaderSize = 64;
inline constexpr uint32_t kDosMagicOffset = 0x00;
inline constexpr uint32_t kNtHeadersOffsetField = 0x3C; // e_lfanew
inline constexpr uint16_t kDosMagic = 0x5A4D;           // "MZ"

// IMAGE_NT_HEADERS64: the signature, the file header (20 bytes) and the optional header.
inline constexpr uint32_t kNtHeadersSize = 24 + 240;
inline constexpr uint32_t kNtSignatureOffset = 0;
inline constexpr uint32_t kNtMachineOffset = 4;
inline constexpr uint32_t kNtTimeDateStampOffset = 8;
inline constexpr uint32_t kNtOptionalMagicOffset = 24;
inline constexpr uint32_t kNtSizeOfImageOffset = 24 + 56;
inline constexpr uint32_t kNtImportDirectoryOffset = 24 + 112 + 8; // data directory entry 1
inline constexpr uint32_t kPeSignature = 0x00004550;               // "PE\0\0"
inline constexpr uint16_t kMachineAmd64 = 0x8664;
inline constexpr uint16_t kPe32PlusMagic = 0x020B;

} // namespace corvane
