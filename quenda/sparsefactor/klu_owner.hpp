// Owners of the KLU objects the solver creates.
//
// Each holder frees its object through the record it was made with, when it
// goes out of scope or takes another: no return path can leak an analysis or
// a factorisation.
#pragma once

#include <klu.h>

#include <utility>

namespace quenda::sparsefactor {

template <class T, int (*Free)(T**, klu_common*)>
class KluOwner {
public:
    KluOwner() noexcept = default;
    // Takes over `p` (null allowed), which KLU made with `common`.
    KluOwner(T* p, klu_common* common) noexcept : p_(p), common_(common) {}
    KluOwner(const KluOwner&) = delete;
    KluOwner& operator=(const KluOwner&) = delete;
    KluOwner(KluOwner&& o) noexcept
        : p_(std::exchange(o.p_, nullptr)), common_(o.common_) {}
    KluOwner& operator=(KluOwner&& o) noexcept {
        if (this != &o) {
            reset();
            p_ = std::exchange(o.p_, nullptr);
            common_ = o.common_;
        }
        return *this;
    }
    ~KluOwner() { reset(); }

    void reset() noexcept {
        if (p_) Free(&p_, common_);  // nulls p_
    }
    T* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    T* p_ = nullptr;
    klu_common* common_ = nullptr;
};

using Symbolic = KluOwner<klu_symbolic, klu_free_symbolic>;
using Numeric = KluOwner<klu_numeric, klu_free_numeric>;

}  // namespace quenda::sparsefactor
