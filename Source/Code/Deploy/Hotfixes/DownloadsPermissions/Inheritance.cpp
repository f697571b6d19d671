#include "Inheritance.h"

#include <cstring>

namespace inheritance {
namespace {

// [MS-DTYP] 2.4.4.1 ACE_HEADER flags.
constexpr std::uint8_t kObjectInherit = 0x01;
constexpr std::uint8_t kContainerInherit = 0x02;
constexpr std::uint8_t kNoPropagate = 0x04;
constexpr std::uint8_t kInheritOnly = 0x08;
constexpr std::uint8_t kInherited = 0x10;
// [MS-DTYP] 2.4.6 SECURITY_DESCRIPTOR control.
constexpr std::uint16_t kDaclPresent = 0x0004;
constexpr std::uint16_t kDaclAutoInherited = 0x0400;
constexpr std::uint16_t kSelfRelative = 0x8000;
constexpr std::size_t kDescriptorBytes = 20;  // Revision, Sbz1, Control, four offsets
constexpr std::size_t kAclHeaderBytes = 8;
constexpr std::size_t kMaxAclBytes = 0xFFFF;  // AclSize is 16 bits
// The file generic mapping: FILE_GENERIC_READ, _WRITE, _EXECUTE, FILE_ALL_ACCESS.
constexpr std::uint32_t kGenericAll = 0x10000000;
constexpr std::uint32_t kGenericExecute = 0x20000000;
constexpr std::uint32_t kGenericWrite = 0x40000000;
constexpr std::uint32_t kGenericRead = 0x80000000;
constexpr std::uint32_t kGenericBits = kGenericAll | kGenericExecute | kGenericWrite | kGenericRead;
// CREATOR OWNER (S-1-3-0) and CREATOR GROUP (S-1-3-1); they differ in their last byte.
constexpr std::uint8_t kCreatorOwner[] = {1, 1, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0};
constexpr std::uint8_t kCreatorGroup[] = {1, 1, 0, 0, 0, 0, 0, 3, 1, 0, 0, 0};

std::uint16_t Read16(const std::uint8_t* at) {
    std::uint16_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

std::uint32_t Read32(const std::uint8_t* at) {
    std::uint32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// A SID's size ([MS-DTYP] 2.4.2.2), or 0 where it is not one whole within available bytes.
std::size_t SidSize(const std::uint8_t* sid, std::size_t available) {
    if (available < 8 || sid[0] != 1 || sid[1] > 15)
        return 0;
    const std::size_t size = 8 + 4 * std::size_t{sid[1]};
    return size <= available ? size : 0;
}

bool SameSid(const std::uint8_t* sid, const std::uint8_t (&well)[12], std::size_t size) {
    return size == sizeof well && std::memcmp(sid, well, size) == 0;
}

// Entry kinds laid out as ACCESS_ALLOWED_ACE: header, mask, SID, then (for
// the callback kinds) application data. Object entries name object types,
// which only directory-service objects have.
bool IsPlainLayout(std::uint8_t type) {
    return type == 0x00 || type == 0x01 || type == 0x09 || type == 0x0A;
}

std::uint32_t MapGeneric(std::uint32_t mask) {
    std::uint32_t mapped = mask & ~kGenericBits;
    if (mask & kGenericRead)
        mapped |= 0x120089;
    if (mask & kGenericWrite)
        mapped |= 0x120116;
    if (mask & kGenericExecute)
        mapped |= 0x1200A0;
    if (mask & kGenericAll)
        mapped |= 0x1F01FF;
    return mapped;
}

// Calls visit with each entry of a whole ACL, in order.
template <typename Visit>
bool ForEachAce(const std::uint8_t* acl, Visit visit) {
    const std::uint16_t count = Read16(acl + 4);
    for (std::size_t at = kAclHeaderBytes, i = 0; i < count; ++i) {
        const std::uint8_t* const ace = acl + at;
        if (!visit(ace))
            return false;
        at += Read16(ace + 2);
    }
    return true;
}

// The new descriptor, entry by entry: sizes always counted, bytes written
// only where they fit.
class Writer {
public:
    Writer(std::uint8_t* out, std::size_t capacity) : out_(out), capacity_(capacity) {}

    void TakeRevision(const std::uint8_t* acl) {
        if (acl[0] > revision_)
            revision_ = acl[0];
    }

    // The entry as it stands, with other flags.
    bool Copy(const std::uint8_t* ace, std::uint8_t flags) {
        const std::uint16_t size = Read16(ace + 2);
        if (!Reserve(size))
            return true;
        std::memcpy(out_ + at_, ace, size);
        out_[at_ + 1] = flags;
        at_ += size;
        return true;
    }

    // The entry as it takes effect on the item: no inheritance flags,
    // generic rights mapped, CREATOR OWNER and CREATOR GROUP replaced by the
    // item's owner and group.
    bool Effective(const std::uint8_t* ace, const std::uint8_t* owner, const std::uint8_t* group) {
        const std::uint16_t size = Read16(ace + 2);
        const std::size_t sidSize = SidSize(ace + 8, size - 8);
        const std::uint8_t* sid = ace + 8;
        if (SameSid(sid, kCreatorOwner, sidSize))
            sid = owner;
        else if (SameSid(sid, kCreatorGroup, sidSize))
            sid = group;
        if (!sid)
            return false;
        const std::size_t newSidSize = sid == ace + 8 ? sidSize : SidSize(sid, 68);
        const std::size_t trailing = size - 8 - sidSize;  // a callback entry's application data
        const std::size_t newSize = 8 + newSidSize + trailing;
        if (newSidSize == 0 || newSize > kMaxAclBytes)
            return false;
        if (!Reserve(newSize))
            return true;
        std::uint8_t* const to = out_ + at_;
        const std::uint16_t size16 = static_cast<std::uint16_t>(newSize);
        const std::uint32_t mask = MapGeneric(Read32(ace + 4));
        to[0] = ace[0];
        to[1] = kInherited;
        std::memcpy(to + 2, &size16, sizeof size16);
        std::memcpy(to + 4, &mask, sizeof mask);
        std::memcpy(to + 8, sid, newSidSize);
        std::memcpy(to + 8 + newSidSize, ace + 8 + sidSize, trailing);
        at_ += newSize;
        return true;
    }

    // Where the whole new descriptor fits, its header and the list's;
    // returns the size, or 0 where the list grew too large.
    std::size_t Finish(bool isProtected) {
        const std::size_t aclSize = size_ - kDescriptorBytes;
        if (aclSize > kMaxAclBytes || count_ > 0xFFFF)
            return 0;
        if (size_ <= capacity_) {
            const std::uint16_t control =
                kDaclPresent | kDaclAutoInherited | kSelfRelative | (isProtected ? kDaclProtected : 0);
            const std::uint32_t offsets[4] = {0, 0, 0, kDescriptorBytes};  // owner, group, SACL, DACL
            const std::uint16_t acl[3] = {static_cast<std::uint16_t>(aclSize), static_cast<std::uint16_t>(count_), 0};
            out_[0] = 1;
            out_[1] = 0;
            std::memcpy(out_ + 2, &control, sizeof control);
            std::memcpy(out_ + 4, offsets, sizeof offsets);
            out_[kDescriptorBytes] = revision_;
            out_[kDescriptorBytes + 1] = 0;
            std::memcpy(out_ + kDescriptorBytes + 2, acl, sizeof acl);
        }
        return size_;
    }

private:
    // Counts an entry of size bytes; whether it is also to be written.
    bool Reserve(std::size_t size) {
        ++count_;
        size_ += size;
        return size_ <= capacity_;
    }

    std::uint8_t* out_;
    std::size_t capacity_;
    std::size_t size_ = kDescriptorBytes + kAclHeaderBytes;
    std::size_t at_ = kDescriptorBytes + kAclHeaderBytes;
    std::size_t count_ = 0;
    std::uint8_t revision_ = 2;  // ACL_REVISION; a list with object entries brings ACL_REVISION_DS
};

// Generic rights or a CREATOR placeholder, which the entry that takes effect
// maps and the one passed further on keeps.
bool HasGenericInformation(const std::uint8_t* ace) {
    const std::size_t sidSize = SidSize(ace + 8, Read16(ace + 2) - 8);
    return (Read32(ace + 4) & kGenericBits) != 0 || SameSid(ace + 8, kCreatorOwner, sidSize) ||
           SameSid(ace + 8, kCreatorGroup, sidSize);
}

// What one entry of the parent's list passes on to the item, by Microsoft's
// "ACE inheritance rules": object-inherit reaches files, container-inherit
// folders; a folder also keeps an object-inherit entry, inherit-only, for
// what it holds; no-propagate stops both after this item. An entry that
// takes effect on a folder and passes on too becomes two where it carries
// generic information: the one mapped, then the one kept for what lies
// below, inherit-only.
bool Inherit(Writer& writer, const std::uint8_t* ace, const NewList& list) {
    const std::uint8_t flags = ace[1];
    const bool objectInherit = flags & kObjectInherit;
    const bool containerInherit = flags & kContainerInherit;
    const bool noPropagate = flags & kNoPropagate;
    const bool passes = list.isFolder ? containerInherit || (objectInherit && !noPropagate) : objectInherit;
    if (!passes)
        return true;
    const std::uint16_t size = Read16(ace + 2);
    if (!IsPlainLayout(ace[0]) || size < 8 || SidSize(ace + 8, size - 8) == 0)
        return false;
    const std::uint8_t passedOn = (flags & (kObjectInherit | kContainerInherit)) | kInherited;
    if (!list.isFolder || (containerInherit && noPropagate))
        return writer.Effective(ace, list.owner, list.group);
    if (!containerInherit)
        return writer.Copy(ace, kObjectInherit | kInheritOnly | kInherited);
    if (!HasGenericInformation(ace))
        return writer.Copy(ace, passedOn);
    return writer.Effective(ace, list.owner, list.group) && writer.Copy(ace, passedOn | kInheritOnly);
}

}  // namespace

bool IsWholeAcl(const void* list) {
    const auto* const acl = static_cast<const std::uint8_t*>(list);
    const std::size_t aclSize = Read16(acl + 2);
    if (acl[0] < 2 || acl[0] > 4 || aclSize < kAclHeaderBytes)
        return false;
    std::size_t at = kAclHeaderBytes;
    for (std::size_t i = 0, count = Read16(acl + 4); i < count; ++i) {
        if (at + 4 > aclSize)
            return false;
        const std::size_t size = Read16(acl + at + 2);
        if (size < 4 || at + size > aclSize)
            return false;
        at += size;
    }
    return true;
}

bool ReadDescriptor(const void* descriptor, std::size_t size, Parts& parts) {
    const auto* const bytes = static_cast<const std::uint8_t*>(descriptor);
    if (size < kDescriptorBytes || bytes[0] != 1)
        return false;
    parts = {};
    parts.control = Read16(bytes + 2);
    if ((parts.control & kSelfRelative) == 0)
        return false;
    const std::uint32_t owner = Read32(bytes + 4);
    const std::uint32_t group = Read32(bytes + 8);
    const std::uint32_t dacl = Read32(bytes + 16);
    if (owner != 0) {
        if (owner >= size || SidSize(bytes + owner, size - owner) == 0)
            return false;
        parts.owner = bytes + owner;
    }
    if (group != 0) {
        if (group >= size || SidSize(bytes + group, size - group) == 0)
            return false;
        parts.group = bytes + group;
    }
    if ((parts.control & kDaclPresent) != 0 && dacl != 0) {
        if (dacl > size - kAclHeaderBytes || Read16(bytes + dacl + 2) > size - dacl || !IsWholeAcl(bytes + dacl))
            return false;
        parts.dacl = bytes + dacl;
    }
    return true;
}

std::size_t BuildDescriptor(const NewList& list, std::uint8_t* out, std::size_t capacity) {
    Writer writer(out, capacity);
    if (list.own) {
        if (!IsWholeAcl(list.own))
            return 0;
        writer.TakeRevision(list.own);
        ForEachAce(list.own, [&](const std::uint8_t* ace) {
            if (list.allOwn || (ace[1] & kInherited) == 0)
                writer.Copy(ace, ace[1] & ~kInherited);
            return true;
        });
    }
    if (list.parent && !list.isProtected) {
        if (!IsWholeAcl(list.parent))
            return 0;
        writer.TakeRevision(list.parent);
        if (!ForEachAce(list.parent, [&](const std::uint8_t* ace) { return Inherit(writer, ace, list); }))
            return 0;
    }
    return writer.Finish(list.isProtected);
}

const std::uint8_t* DaclOf(const std::uint8_t* descriptor) {
    const std::uint32_t dacl = Read32(descriptor + 16);
    return (Read16(descriptor + 2) & kDaclPresent) != 0 && dacl != 0 ? descriptor + dacl : nullptr;
}

}  // namespace inheritance
