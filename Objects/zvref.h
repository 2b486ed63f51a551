/* Owned references in C++ code.
 *
 * zv::Ref holds one strong reference and releases it when it goes out of
 * scope, so every early return on an error path drops what it owns.  It is
 * deliberately distinct from a borrowed ZvObject*: taking ownership of a
 * new reference is spelled zv::Ref(p) (steal), sharing a borrowed one is
 * zv::Ref::borrow(p), and handing the reference back to C code is release(). */
#ifndef ZV_ZVREF_H
#define ZV_ZVREF_H

#include "object.h"

namespace zv {

class Ref {
public:
    Ref() = default;
    explicit Ref(ZvObject *owned) : p_(owned) {}
    Ref(const Ref &) = delete;
    Ref &operator=(const Ref &) = delete;
    Ref(Ref &&o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    Ref &operator=(Ref &&o) noexcept
    {
        if (this != &o) {
            ZvObject *old = p_;
            p_ = o.p_;
            o.p_ = nullptr;
            Zv_XDECREF(old);
        }
        return *this;
    }
    ~Ref() { Zv_XDECREF(p_); }

    static Ref borrow(ZvObject *b)
    {
        Zv_XINCREF(b);
        return Ref(b);
    }

    ZvObject *get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    [[nodiscard]] ZvObject *release()
    {
        ZvObject *r = p_;
        p_ = nullptr;
        return r;
    }
    void reset(ZvObject *owned = nullptr)
    {
        ZvObject *old = p_;
        p_ = owned;
        Zv_XDECREF(old);
    }

private:
    ZvObject *p_ = nullptr;
};

} // namespace zv

#endif // ZV_ZVREF_H
