#pragma once

// The instruction sets the vectorised bodies are written for.

namespace velmora {

/// Instruction sets of the blocked kernel. All give identical bits.
enum class KernelIsa { generic, avx2, avx512 };

/// The widest instruction set this processor runs.
KernelIsa detected_kernel_isa();

/// Readable name of an instruction set ("generic", "avx2", "avx512").
const char* kernel_isa_name(KernelIsa isa);

}  // namespace velmora
