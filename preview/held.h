// SPDX-License-Identifier: MIT
#pragma once

namespace quillbar::preview {

// A value set for as long as this lives, then put back as it was.
template <typename T>
class Held {
public:
    Held(T &where, T value) : where_(where), old_(where) { where_ = value; }
    ~Held() { where_ = old_; }
    Held(const Held &) = delete;
    Held &operator=(const Held &) = delete;

private:
    T &where_;
    T old_;
};

}  // namespace quillbar::preview
