// Runs f, which must throw the library exception E, and hands that exception back.
#pragma once

#include "errors.h"

#include <gtest/gtest.h>

template <class E = Tavon::httpclientexceptionA, class F>
E CatchError(F&& f) {
    try {
        f();
    } catch (const E& e) {
        return e;
    }
    ADD_FAILURE() << "nothing thrown";
    return E();
}
