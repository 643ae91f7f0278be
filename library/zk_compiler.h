// zk_compiler: every compiler-specific construct of the library and the
// program, behind one macro each, so that the sources themselves are plain
// C++20 for any compiler (the public headers keep their own ZELKOR_API).
//
//   ZK_INLINE             inline, and inlined whatever the optimizer thinks:
//                         the small bookkeeping steps of the elimination loop
//   ZK_NOINLINE           never inlined: the rare cases kept out of a hot caller
//   ZK_PRINTF_LIKE(f, a)  argument f is a printf format, its arguments start
//                         at a (0: a va_list), checked by the compiler's
//                         format warnings
//
// Compilers that know none of them get the plain meaning (inline / nothing).
#ifndef ZELKOR_ZK_COMPILER_H
#define ZELKOR_ZK_COMPILER_H

#if defined(__GNUC__) || defined(__clang__)
#define ZK_INLINE inline __attribute__((always_inline))
#define ZK_NOINLINE __attribute__((noinline))
#define ZK_PRINTF_LIKE(f, a) __attribute__((format(printf, f, a)))
#elif defined(_MSC_VER)
#define ZK_INLINE __forceinline
#define ZK_NOINLINE __declspec(noinline)
#define ZK_PRINTF_LIKE(f, a)
#else
#define ZK_INLINE inline
#define ZK_NOINLINE
#define ZK_PRINTF_LIKE(f, a)
#endif

#endif
