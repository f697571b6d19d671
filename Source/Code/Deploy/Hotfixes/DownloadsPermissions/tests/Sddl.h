#pragma once

// Security descriptors for the tests, written and read back in a small part
// of SDDL: "O:U1G:SYD:PAI(A;OICIID;FA;;;SY)(D;;0x10000;;;WD)". Entry kinds A,
// D, XA (a callback allow, with four bytes of data) and OA (an object allow);
// flags OI CI NP IO ID; rights FA FR FW FX GA GR GW GE or 0x...; accounts SY
// BA BU WD CO CG, U1 and U2 (two users), or S-1-.... Not Windows' parser:
// only what the tests write, built byte by byte as [MS-DTYP] 2.4 lays out.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace sddl {

using Bytes = std::vector<std::uint8_t>;

inline const std::map<std::string, std::string> kAccounts = {
    {"SY", "S-1-5-18"}, {"BA", "S-1-5-32-544"}, {"BU", "S-1-5-32-545"}, {"WD", "S-1-1-0"},
    {"CO", "S-1-3-0"},  {"CG", "S-1-3-1"},      {"U1", "S-1-5-21-7-8-9-1001"}, {"U2", "S-1-5-21-7-8-9-1002"}};
inline const std::map<std::string, std::uint32_t> kRights = {
    {"FA", 0x1F01FF}, {"FR", 0x120089}, {"FW", 0x120116}, {"FX", 0x1200A0},
    {"GA", 0x10000000}, {"GR", 0x80000000}, {"GW", 0x40000000}, {"GE", 0x20000000}};
inline const std::map<std::string, std::uint32_t> kFlags = {
    {"OI", 0x01}, {"CI", 0x02}, {"NP", 0x04}, {"IO", 0x08}, {"ID", 0x10}};
inline const std::map<std::string, std::uint8_t> kTypes = {{"A", 0x00}, {"D", 0x01}, {"OA", 0x05}, {"XA", 0x09}};

inline void Put(Bytes& bytes, std::uint64_t value, int size) {
    for (int i = 0; i < size; ++i)
        bytes.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline Bytes Sid(const std::string& name) {
    const auto alias = kAccounts.find(name);
    const std::string text = alias == kAccounts.end() ? name : alias->second;
    std::vector<std::uint64_t> parts;
    for (std::size_t at = 4; at <= text.size();) {  // after "S-1-"
        const std::size_t end = std::min(text.find('-', at), text.size());
        parts.push_back(std::stoull(text.substr(at, end - at)));
        at = end + 1;
    }
    Bytes sid = {1, static_cast<std::uint8_t>(parts.size() - 1)};
    for (int i = 5; i >= 0; --i)
        sid.push_back(static_cast<std::uint8_t>(parts[0] >> (8 * i)));  // the authority, big-endian
    for (std::size_t i = 1; i < parts.size(); ++i)
        Put(sid, parts[i], 4);
    return sid;
}

inline std::string SidText(const std::uint8_t* sid) {
    std::uint64_t authority = 0;
    for (int i = 2; i < 8; ++i)
        authority = authority << 8 | sid[i];
    std::string text = "S-1-" + std::to_string(authority);
    for (int i = 0; i < sid[1]; ++i) {
        std::uint32_t part;
        std::memcpy(&part, sid + 8 + 4 * i, 4);
        text += "-" + std::to_string(part);
    }
    for (const auto& [alias, full] : kAccounts)
        if (full == text)
            return alias;
    return text;
}

// Two-letter codes run together ("OICI", "GRGE"), or a "0x..." number, as bits.
inline std::uint32_t Bits(const std::string& codes, const std::map<std::string, std::uint32_t>& meaning) {
    if (codes.rfind("0x", 0) == 0)
        return static_cast<std::uint32_t>(std::stoul(codes, nullptr, 16));
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < codes.size(); i += 2)
        bits |= meaning.at(codes.substr(i, 2));
    return bits;
}

// "(A;OICI;FA;;;SY)(D;;GR;;;WD)" as an ACL.
inline Bytes Acl(const std::string& entries) {
    static const std::regex kEntry(R"(\((\w+);(\w*);(\w+);;;([\w-]+)\))");
    Bytes aces;
    int count = 0;
    for (std::sregex_iterator it(entries.begin(), entries.end(), kEntry), end; it != end; ++it, ++count) {
        const std::uint8_t type = kTypes.at((*it)[1]);
        Bytes body;
        Put(body, Bits((*it)[3], kRights), 4);
        if (type == 0x05)
            Put(body, 0, 4);  // an object entry naming no object type
        const Bytes sid = Sid((*it)[4]);
        body.insert(body.end(), sid.begin(), sid.end());
        if (type == 0x09)
            body.insert(body.end(), {'a', 'r', 't', 'x'});
        Put(aces, type, 1);
        Put(aces, Bits((*it)[2], kFlags), 1);
        Put(aces, body.size() + 4, 2);
        aces.insert(aces.end(), body.begin(), body.end());
    }
    Bytes acl = {2, 0};
    Put(acl, aces.size() + 8, 2);
    Put(acl, count, 2);
    Put(acl, 0, 2);
    acl.insert(acl.end(), aces.begin(), aces.end());
    return acl;
}

// "O:U1G:SYD:PAI(...)" as a self-relative descriptor; no "D:": no DACL.
inline Bytes Descriptor(const std::string& text) {
    static const std::regex kParts(R"(^(?:O:([\w-]+?))?(?:G:([\w-]+?))?(?:D:(P?)(AI)?(.*))?$)");
    std::smatch part;
    std::regex_match(text, part, kParts);
    std::uint16_t control = 0x8000;  // self-relative
    Bytes parts;
    std::uint32_t offsets[4] = {};  // owner, group, SACL, DACL
    const auto append = [&](const Bytes& bytes, int which) {
        offsets[which] = static_cast<std::uint32_t>(20 + parts.size());
        parts.insert(parts.end(), bytes.begin(), bytes.end());
    };
    if (part[1].matched)
        append(Sid(part[1]), 0);
    if (part[2].matched)
        append(Sid(part[2]), 1);
    if (part[5].matched) {
        control |= 0x0004 | (part[3].length() ? 0x1000 : 0) | (part[4].matched ? 0x0400 : 0);  // present, P, AI
        append(Acl(part[5]), 3);
    }
    Bytes descriptor = {1, 0};
    Put(descriptor, control, 2);
    for (std::uint32_t offset : offsets)
        Put(descriptor, offset, 4);
    descriptor.insert(descriptor.end(), parts.begin(), parts.end());
    return descriptor;
}

inline std::string RightsText(std::uint32_t mask) {
    for (const auto& [code, rights] : kRights)
        if (mask == rights && code[0] == 'F')
            return code;
    std::string text;
    for (const char* code : {"GA", "GR", "GW", "GE"})
        if (mask & kRights.at(code)) {
            text += code;
            mask &= ~kRights.at(code);
        }
    if (mask != 0 || text.empty()) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", mask);
        text += hex;
    }
    return text;
}

// An ACL as "(A;OICIID;FA;;;SY)...".
inline std::string AclText(const std::uint8_t* acl) {
    std::string text;
    std::uint16_t count;
    std::memcpy(&count, acl + 4, 2);
    for (std::size_t at = 8; count-- > 0;) {
        const std::uint8_t* ace = acl + at;
        std::uint16_t size;
        std::uint32_t mask;
        std::memcpy(&size, ace + 2, 2);
        std::memcpy(&mask, ace + 4, 4);
        std::string type = "?";
        for (const auto& [name, value] : kTypes)
            if (value == ace[0])
                type = name;
        std::string flags;
        for (const char* flag : {"OI", "CI", "NP", "IO", "ID"})
            if (ace[1] & kFlags.at(flag))
                flags += flag;
        const std::uint8_t* sid = ace + (ace[0] == 0x05 ? 12 : 8);
        text += "(" + type + ";" + flags + ";" + RightsText(mask) + ";;;" + SidText(sid) + ")";
        at += size;
    }
    return text;
}

// A descriptor's DACL part, as "D:PAI(...)"; "" where it has none.
inline std::string DaclText(const std::uint8_t* descriptor) {
    std::uint16_t control;
    std::uint32_t offset;
    std::memcpy(&control, descriptor + 2, 2);
    std::memcpy(&offset, descriptor + 16, 4);
    if (!(control & 0x0004) || offset == 0)
        return "";
    return std::string("D:") + (control & 0x1000 ? "P" : "") + (control & 0x0400 ? "AI" : "") +
           AclText(descriptor + offset);
}

}  // namespace sddl
