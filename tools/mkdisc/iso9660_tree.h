// The ISO 9660 tree of an image: level 1 names (eight characters, a dot, three more, upper-case
// d-characters), made unique in each folder, in the primary volume descriptor.
#pragma once

#include "ecma119_tree.h"

class Iso9660Tree final : public Ecma119Tree {
protected:
    RecordName Name(const Records& siblings, const std::wstring& name, bool file) const override;
    char DescriptorType() const override { return 1; }
    bool WideText() const override { return false; }
};
