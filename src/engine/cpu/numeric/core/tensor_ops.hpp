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

// The element functions of the arithmetic and comparison kernels, on float32 values.
struct Add { float operator()(float a, float b) const { return a + b; } };
struct Sub { float operator()(float a, float b) const { return a - b; } };
struct Mul { float operator()(float a, float b) const { return a * b; } };
struct Div { float operator()(float a, float b) const { return a / b; } };
struct Eq { bool operator()(float a, float b) const { return a == b; } };
struct Ge { bool operator()(float a, float b) const { return a >= b; } };
struct Gt { bool operator()(float a, float b) const { return a > b; } };
struct Le { bool operator()(float a, float b) const { return a <= b; } };
struct Lt { bool operator()(float a, float b) const { return a < b; } };

template <class T>
inline T kernel_mul(T a, T b) { return apply(Mul{}, a, b); }

template <class T>
inline T kernel_div(T a, T b) { return apply(Div{}, a, b); }

}  // namespace engine::cpu::numeric
