#pragma once

#include <string>

// Names each case of a parameterised test after its `name` field.
struct CaseName {
    template <class Info>
    std::string operator()(const Info& p) const {
        return p.param.name;
    }
};
