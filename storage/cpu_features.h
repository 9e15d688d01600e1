#pragma once
// What the processor offers beyond the baseline the program is built for, asked once by
// the code that picks a vector path.

namespace kestrel {

// Byte permutes across 64-byte registers (AVX-512 VBMI, with BW): block decoding and
// base64 take 64 bytes a step with them, the byte loops run elsewhere.
inline bool HasAvx512Vbmi() {
#if defined(__x86_64__) && defined(__GNUC__)
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("avx512bw");
#else
    return false;
#endif
}

}  // namespace kestrel
