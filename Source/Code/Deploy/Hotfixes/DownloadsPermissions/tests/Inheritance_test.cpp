#include "../Inheritance.h"

#include <gtest/gtest.h>

#include "Sddl.h"

namespace {

using sddl::Bytes;

struct Item {
    std::string descriptor;  // the item as it stands: "O:..G:..D:.."
    bool isFolder;
};
const Item kFile = {"O:U1G:SYD:AI", false};
const Item kFolder = {"O:U1G:SYD:AI", true};

// The item's new DACL, as text; "cannot" where it cannot be worked out.
std::string NewDacl(const std::string& parent, const Item& item, bool allOwn = false, const char* own = nullptr) {
    const Bytes current = sddl::Descriptor(item.descriptor);
    inheritance::Parts parts;
    EXPECT_TRUE(inheritance::ReadDescriptor(current.data(), current.size(), parts));
    const Bytes parentAcl = sddl::Acl(parent);
    const Bytes ownAcl = own ? sddl::Acl(own) : Bytes{};
    const inheritance::NewList list{own ? ownAcl.data() : parts.dacl, allOwn, parentAcl.data(),
                                    (parts.control & inheritance::kDaclProtected) != 0, item.isFolder, parts.owner,
                                    parts.group};
    const std::size_t size = inheritance::BuildDescriptor(list, nullptr, 0);
    if (size == 0)
        return "cannot";
    Bytes built(size);
    EXPECT_EQ(inheritance::BuildDescriptor(list, built.data(), built.size()), size);
    EXPECT_NE(inheritance::DaclOf(built.data()), nullptr);
    return sddl::DaclText(built.data());
}

struct RuleCase {
    const char* parent;
    Item item;
    const char* dacl;
};

// Microsoft's "ACE inheritance rules", one parent entry at a time, for a
// file and for a folder owned by U1 in group SY.
TEST(Inheritance, EachParentEntryPassesOnAsTheRulesSay) {
    const RuleCase cases[] = {
        {"(A;OI;FA;;;U2)", kFile, "D:AI(A;ID;FA;;;U2)"},
        {"(A;OI;FA;;;U2)", kFolder, "D:AI(A;OIIOID;FA;;;U2)"},
        {"(A;OINP;FA;;;U2)", kFile, "D:AI(A;ID;FA;;;U2)"},
        {"(A;OINP;FA;;;U2)", kFolder, "D:AI"},
        {"(A;CI;FA;;;U2)", kFile, "D:AI"},
        {"(A;CI;FA;;;U2)", kFolder, "D:AI(A;CIID;FA;;;U2)"},
        {"(A;CINP;FA;;;U2)", kFolder, "D:AI(A;ID;FA;;;U2)"},
        {"(A;OICI;FA;;;U2)", kFile, "D:AI(A;ID;FA;;;U2)"},
        {"(A;OICI;FA;;;U2)", kFolder, "D:AI(A;OICIID;FA;;;U2)"},
        {"(A;OICINP;FA;;;U2)", kFolder, "D:AI(A;ID;FA;;;U2)"},
        {"(A;OICIIO;FA;;;U2)", kFolder, "D:AI(A;OICIID;FA;;;U2)"},
        {"(A;;FA;;;U2)(A;IO;FA;;;U2)", kFolder, "D:AI"},
        {"(D;OICI;FW;;;WD)(A;OICI;FA;;;U2)", kFile, "D:AI(D;ID;FW;;;WD)(A;ID;FA;;;U2)"},
        // Generic information: mapped where it takes effect, kept as it is in what passes further on.
        {"(A;OICIIO;GA;;;CO)", kFile, "D:AI(A;ID;FA;;;U1)"},
        {"(A;OICIIO;GA;;;CO)", kFolder, "D:AI(A;ID;FA;;;U1)(A;OICIIOID;GA;;;CO)"},
        {"(A;OICI;GR;;;CG)", kFolder, "D:AI(A;ID;FR;;;SY)(A;OICIIOID;GR;;;CG)"},
        {"(A;OICI;GRGE;;;BU)", kFolder, "D:AI(A;ID;0x1200a9;;;BU)(A;OICIIOID;GRGE;;;BU)"},
        {"(A;CINP;GA;;;CO)", kFolder, "D:AI(A;ID;FA;;;U1)"},
        {"(A;OI;GA;;;CO)", kFolder, "D:AI(A;OIIOID;GA;;;CO)"},
        {"(XA;OI;GA;;;CO)", kFile, "D:AI(XA;ID;FA;;;U1)"},
        // Object entries name types only directory objects have: never inherited by guess.
        {"(OA;OICI;FA;;;WD)", kFile, "cannot"},
        {"(OA;CI;FA;;;WD)", kFile, "D:AI"},
        {"(A;OI;GA;;;CO)", {"G:SYD:AI", false}, "cannot"},
        {"(A;OI;GA;;;CG)", {"O:U1D:AI", false}, "cannot"},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(std::string(c.parent) + (c.item.isFolder ? " on a folder" : " on a file"));
        EXPECT_EQ(NewDacl(c.parent, c.item), c.dacl);
    }
}

// The item keeps its own entries, in order and ahead of what it inherits,
// and loses what it inherited before; a protected list inherits nothing.
TEST(Inheritance, OwnEntriesStayAndInheritedOnesAreReplaced) {
    const RuleCase cases[] = {
        {"(A;OICI;FR;;;SY)", {"O:U1G:SYD:AI(D;;FA;;;WD)(A;ID;FA;;;BU)(A;;FX;;;U2)", false},
         "D:AI(D;;FA;;;WD)(A;;FX;;;U2)(A;ID;FR;;;SY)"},
        {"(A;OICI;FR;;;SY)", {"O:U1G:SY", false}, "D:AI(A;ID;FR;;;SY)"},
        {"(A;CI;FR;;;SY)", {"O:U1G:SY", false}, "D:AI"},
        {"(A;OICI;FR;;;SY)", {"O:U1G:SYD:PAI(A;;FA;;;U1)(A;ID;FA;;;BU)", true}, "D:PAI(A;;FA;;;U1)"},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.item.descriptor);
        EXPECT_EQ(NewDacl(c.parent, c.item), c.dacl);
    }
    // A list copied from elsewhere: every entry is the item's own.
    EXPECT_EQ(NewDacl("(A;OICI;FR;;;BU)", kFolder, true, "(A;ID;FA;;;SY)(A;OICIIO;GA;;;CO)"),
              "D:AI(A;;FA;;;SY)(A;OICIIO;GA;;;CO)(A;OICIID;FR;;;BU)");
}

TEST(Inheritance, WhatCannotBeWorkedOutIsRefused) {
    // Every entry doubled by generic information: more than an ACL can hold.
    std::string many;
    for (int i = 0; i < 1200; ++i)
        many += "(A;OICIIO;GA;;;CO)";
    EXPECT_EQ(NewDacl(many, kFolder), "cannot");
    EXPECT_NE(NewDacl(many, kFile), "cannot");  // one entry each still fits

    Bytes broken = sddl::Acl("(A;OICI;FA;;;SY)");
    broken[10] = 0xFF;  // the entry runs past the list
    EXPECT_FALSE(inheritance::IsWholeAcl(broken.data()));
    const inheritance::NewList list{nullptr, false, broken.data(), false, true, nullptr, nullptr};
    EXPECT_EQ(inheritance::BuildDescriptor(list, nullptr, 0), 0u);

    const Bytes whole = sddl::Descriptor("O:U1G:SYD:AI(A;;FA;;;SY)");
    inheritance::Parts parts;
    for (std::size_t cut : {std::size_t{19}, whole.size() - 1}) {
        SCOPED_TRACE(cut);
        EXPECT_FALSE(inheritance::ReadDescriptor(whole.data(), cut, parts));
    }
    EXPECT_TRUE(inheritance::ReadDescriptor(whole.data(), whole.size(), parts));
}

}  // namespace
