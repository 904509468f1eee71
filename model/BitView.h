#pragma once

#include "model/CodeBits.h"

// The seven bit scroll bars as the conversions see them. The bits live only in
// the window's controls; a write that really changes a value runs the window's
// bit change handler before setBit returns.
class BitView {
public:
    virtual ~BitView() = default;
    virtual int bit(int k) const = 0;
    virtual void setBit(int k, int value) = 0;
};
