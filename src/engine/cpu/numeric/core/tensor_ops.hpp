#pragma once
// TensorOps<T>: the element interface of the numeric types. The 16-bit rule lives here and only
// here: widen both operands exactly to float32, compute in float32, narrow the result once.

#include "engine/cpu/numeric/core/float16.hpp"

namespace engine::cpu::numeric {

template <class T>
struct TensorOps;

template <>
struct TensorOps<float> {
    static float widen(float x) { return x; }
    static float narrow(float x) { return x; }
};

template <>
struct TensorOps<float16> {
    static float widen(float16 x) { return numeric::widen(x); }
    static float16 narrow(float x) { return narrow_f16(x); }
};

template <>
struct TensorOps<bfloat16> {
    static float widen(bfloat16 x) { return numeric::widen(x); }
    static bfloat16 narrow(float x) { return narrow_bf16(x); }
};

// Bool elements widen to 0 or 1, so comparisons order false before true.
template <>
struct TensorOps<bool> {
    static float widen(bool x) { return x ? 1.0f : 0.0f; }
};

// A float32 arithmetic function applied to elements of T under the widening rule.
template <class T, class F>
inline T apply(F f, T a, T b) {
    return TensorOps<T>::narrow(f(TensorOps<T>::widen(a), TensorOps<T>::widen(b)));
}

// Every element function, one line each, on float32 values a and b (of type V: a float or a vector
// of them): X(context, Name, comparison, expression). Arithmetic gives a value, comparisons a truth
// (a lane mask for vectors). Each line defines the struct numeric::Name below and, in every
// instruction-set path, its vector kernels for float32, float16 and bfloat16 (MORLA_FOR_EACH_KERNEL
// in simd/kernels.hpp), which the kernel tests take up too. `context` is handed through to X.
// WherePositive: a where b is greater than zero, +0 elsewhere (relu is this with a == b; its
// gradient with a = g, b = the input).
#define MORLA_FOR_EACH_ELEMENT_FUNCTION(X, context) \
    X(context, Add, false, a + b)                   \
    X(context, Sub, false, a - b)                   \
    X(context, Mul, false, a* b)                    \
    X(context, Div, false, a / b)                   \
    X(context, Eq, true, a == b)                    \
    X(context, Ge, true, a >= b)                    \
    X(context, Gt, true, a > b)                     \
    X(context, Le, true, a <= b)                    \
    X(context, Lt, true, a < b)                     \
    X(context, WherePositive, false, b > V{} ? a : V{})

// Defines the struct Name of each element function: written once for a float and for a vector.
#define MORLA_ELEMENT_FUNCTION(context, Name, comparison, expression) \
    struct Name {                                                     \
        static constexpr bool is_comparison = comparison;             \
        template <class V>                                            \
        auto operator()(V a, V b) const {                             \
            return expression;                                        \
        }                                                             \
    };
MORLA_FOR_EACH_ELEMENT_FUNCTION(MORLA_ELEMENT_FUNCTION, ~)
#undef MORLA_ELEMENT_FUNCTION

template <class T>
inline T kernel_mul(T a, T b) { return apply(Mul{}, a, b); }

template <class T>
inline T kernel_div(T a, T b) { return apply(Div{}, a, b); }

}  // namespace engine::cpu::numeric
