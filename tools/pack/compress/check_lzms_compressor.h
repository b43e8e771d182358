// Whether the LZMS compressor at hand does its work, asked with a small
// sample in milliseconds before the long compression. On Windows the
// compressor is the system's: a Windows before 8 has none, Wine 8 has none,
// and newer Wine's "succeeds" by copying its input, which would make blocks
// no bootstrapper can decode.
#pragma once

namespace korvanthelm::pack {

enum class CompressorVerdict {
    kCompresses,  // the sample shrank and decodes back to itself
    kStoresOnly,  // nothing fits in less room than its input: chunks are stored
};

// Compresses a 64 KiB sample any LZMS compressor shrinks to a small fraction
// and decodes the block with the packer's checking decoder. Throws PackError
// when no compressor can be made (the system's reason) or the block does not
// decode to the sample. Writes nothing.
CompressorVerdict CheckLzmsCompressor();

}  // namespace korvanthelm::pack
