// The Joliet tree of an image, the names Windows reads: each name as given, in UTF-16
// big-endian, in a supplementary volume descriptor of UCS-2 level 3.
#pragma once

#include "ecma119_tree.h"

class JolietTree final : public Ecma119Tree {
protected:
    RecordName Name(const Records&, const std::wstring& name, bool) const override {
        const std::string bytes = Ucs2BigEndian(name);
        return {bytes, bytes};
    }
    char DescriptorType() const override { return 2; }
    bool WideText() const override { return true; }
};
