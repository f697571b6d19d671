#pragma once

// An item's new access list (DACL), worked out from its parent's as
// Windows' own propagation works it out: pure, over the bytes of security
// descriptors, lists and entries as [MS-DTYP] 2.4 lays them out, so that it
// reads against the documentation alone.
#include <cstddef>
#include <cstdint>

namespace inheritance {

constexpr std::uint16_t kDaclProtected = 0x1000;  // SE_DACL_PROTECTED

// The parts of a self-relative security descriptor ([MS-DTYP] 2.4.6), each
// pointing into it; null where a part is absent (a DACL that is not present,
// or present and null).
struct Parts {
    std::uint16_t control = 0;
    const std::uint8_t* owner = nullptr;
    const std::uint8_t* group = nullptr;
    const std::uint8_t* dacl = nullptr;
};

// Reads a self-relative descriptor of size bytes; false where it is not
// one, or a part does not lie whole inside it.
bool ReadDescriptor(const void* descriptor, std::size_t size, Parts& parts);

// Whether list is a whole ACL whose entries all lie inside its AclSize.
bool IsWholeAcl(const void* list);

// What an item's new list is made of.
struct NewList {
    // Entries the item keeps, in their order: those of this list that
    // Windows did not mark inherited (INHERITED_ACE); with allOwn, every
    // entry, each then marked explicit. Null: none.
    const std::uint8_t* own = nullptr;
    bool allOwn = false;
    // What the folder above now carries; its inheritable entries follow the
    // item's own. Null, or a protected item: nothing inherited.
    const std::uint8_t* parent = nullptr;
    bool isProtected = false;
    bool isFolder = false;
    const std::uint8_t* owner = nullptr;  // stands for CREATOR OWNER
    const std::uint8_t* group = nullptr;  // stands for CREATOR GROUP
};

// Writes the item's new self-relative descriptor, which carries a DACL and
// nothing else, into out where it fits in capacity bytes; returns its size
// either way, or 0 where it cannot be worked out: a list that is not whole,
// an entry to inherit of a kind this does not know, a CREATOR placeholder
// with nothing to stand for, or more than one ACL can hold.
std::size_t BuildDescriptor(const NewList& list, std::uint8_t* out, std::size_t capacity);

// The DACL of a descriptor BuildDescriptor wrote, or null where a
// descriptor carries none: one that is never to be written, since it would
// let everyone in.
const std::uint8_t* DaclOf(const std::uint8_t* descriptor);

}  // namespace inheritance
