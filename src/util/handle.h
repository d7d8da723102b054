// unique_ptr that frees with a C library's own function:
//   unique_with<cJSON, cJSON_Delete> root(cJSON_Parse(text));
#pragma once

#include <memory>

template <auto Free>
struct free_with {
    template <class T>
    void operator()(T *p) const {
        Free(p);
    }
};

template <class T, auto Free>
using unique_with = std::unique_ptr<T, free_with<Free>>;
