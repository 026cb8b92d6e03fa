#!/usr/bin/env python3
"""Generates the protocol classes of namespace proto from the protocol description.

    generate.py DESCRIPTION OUTPUT_DIR

writes OUTPUT_DIR/proto/messages.h (every class) and four sources: records.cpp (records),
application_messages.cpp (top-level messages), context_messages.cpp (messages with a tag pair)
and catalogue.cpp (union alternatives and the table of top-level messages). The format of the
description is explained at the top of protocol.desc. Standard library only.
"""

import os
import re
import sys
import textwrap

INTEGERS = {
    "int32": ("std::int32_t", -(2**31), 2**31 - 1),
    "uint32": ("std::uint32_t", 0, 2**32 - 1),
    "int64": ("std::int64_t", -(2**63), 2**63 - 1),
    "uint64": ("std::uint64_t", 0, 2**64 - 1),
}

# Names that a field may not take: the operations of the value classes and C++ keywords.
RESERVED = {
    "tag", "clone", "readDone", "write", "child", "minFields", "isTransient", "owns", "wireTag",
    "tagNumber", "tagConstant", "o", "other", "io", "legacy", "received", "position",
    "alignas", "alignof", "and", "asm", "auto", "bool", "break", "case", "catch", "char", "class",
    "concept", "const", "consteval", "constexpr", "constinit", "continue", "decltype", "default",
    "delete", "do", "double", "else", "enum", "explicit", "export", "extern", "false", "float",
    "for", "friend", "goto", "if", "inline", "int", "long", "mutable", "namespace", "new",
    "noexcept", "not", "nullptr", "operator", "or", "private", "protected", "public", "register",
    "requires", "return", "short", "signed", "sizeof", "static", "struct", "switch", "template",
    "this", "throw", "true", "try", "typedef", "typeid", "typename", "union", "unsigned", "using",
    "virtual", "void", "volatile", "while", "xor",
}


class DescriptionError(Exception):
    pass


class Field:
    def __init__(self, name, kind, line):
        self.name = name
        self.kind = kind  # bool, double, bignum, string, integer, enum, record, list, union
        self.line = line
        self.cpp_type = None
        self.max_length = None  # strings
        self.minimum = self.maximum = None  # integers
        self.bounded = False
        self.target = None  # enum, record, list or union name
        self.nullable = False
        self.optional = False
        self.defaulted = False  # always written, yet a received value may end before it
        self.recycled = False  # strings: storage kept for the next message when the owner dies

    @property
    def flag(self):
        return "has" + self.name[0].upper() + self.name[1:]

    @property
    def has_flag(self):
        return self.nullable or self.optional


class Entry:
    def __init__(self, keyword, name, line, number=None):
        self.keyword = keyword  # enum, record, message, pair, list, union
        self.name = name
        self.line = line
        self.number = number
        self.body = []  # (line number, text)
        self.fields = []
        self.constants = []  # enumerations
        self.alternatives = []  # unions
        self.element = None  # lists: a Field describing one element

    @property
    def constructed(self):
        return self.keyword in ("record", "message", "pair")


def constant_stem(name):
    """FileMetaData -> BE_FILE_META_DATA."""
    words = re.findall(r"[A-Z]+(?=[A-Z][a-z]|\d|$)|[A-Z]?[a-z]+|\d+", name)
    return "BE_" + "_".join(word.upper() for word in words)


def literal(value, cpp_type):
    if cpp_type in ("std::uint32_t", "std::uint64_t"):
        return "%du" % value if value > 2**31 - 1 else str(value)
    if value > 2**31 - 1 or value < -(2**31 - 1):
        return "%dll" % value
    return str(value)


# ---------------------------------------------------------------- parsing


def parse(text):
    entries = []
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].rstrip()
        if not line:
            continue
        if line[0] in " \t":
            if current is None:
                raise DescriptionError("line %d: indented line outside an entry" % number)
            current.body.append((number, line.strip()))
            continue
        words = line.split()
        keyword = words[0]
        if keyword in ("enum", "record", "union") and len(words) == 2:
            current = Entry(keyword, words[1], number)
        elif keyword in ("message", "pair") and len(words) == 3 and words[2].isdigit():
            current = Entry(keyword, words[1], number, int(words[2]))
        elif keyword == "list" and len(words) >= 4 and words[2] == "of":
            current = Entry(keyword, words[1], number)
            current.element = parse_type("element", words[3:], number)
        else:
            raise DescriptionError("line %d: cannot read %r" % (number, line))
        entries.append(current)
    for entry in entries:
        parse_body(entry)
    return entries


def parse_type(name, words, line):
    words = list(words)
    field = Field(name, None, line)
    if words[-1:] == ["recycled"]:
        field.recycled = True
        words = words[:-1]
    if words[-2:] == ["or", "null"]:
        field.nullable = True
        words = words[:-2]
    elif words[-1:] == ["optional"]:
        field.optional = True
        words = words[:-1]
    elif words[-1:] == ["defaulted"]:
        field.defaulted = True
        words = words[:-1]
    if not words:
        raise DescriptionError("line %d: field %s has no type" % (line, name))
    if field.recycled and (words[0] != "string" or field.has_flag or field.defaulted):
        raise DescriptionError("line %d: only a required string can be recycled" % line)
    head, rest = words[0], words[1:]
    if head in ("bool", "double", "bignum") and not rest:
        field.kind = head
        field.cpp_type = {"bool": "bool", "double": "double", "bignum": "BigNum"}[head]
    elif head == "string" and len(rest) == 1 and rest[0].isdigit():
        field.kind = "string"
        field.cpp_type = "std::string"
        field.max_length = int(rest[0])
        if field.max_length > 2**32 - 1:
            raise DescriptionError("line %d: string maximum too large" % line)
    elif head in INTEGERS and len(rest) <= 1:
        field.kind = "integer"
        field.cpp_type, low, high = INTEGERS[head]
        field.minimum, field.maximum = low, high
        if rest:
            match = re.fullmatch(r"(-?\d+)\.\.(-?\d+)", rest[0])
            if not match:
                raise DescriptionError("line %d: bad range %r" % (line, rest[0]))
            field.minimum, field.maximum = int(match.group(1)), int(match.group(2))
            if not low <= field.minimum <= field.maximum <= high:
                raise DescriptionError("line %d: range outside %s" % (line, head))
        field.bounded = (field.minimum, field.maximum) != (low, high)
    elif head == "union" and len(rest) == 1:
        field.kind = "union"
        field.target = rest[0]
    elif not rest and re.fullmatch(r"[A-Za-z_]\w*", head):
        field.kind = "named"  # resolved later: enum, record or list
        field.target = head
    else:
        raise DescriptionError("line %d: unknown type %r" % (line, " ".join(words)))
    return field


def parse_body(entry):
    if entry.keyword == "enum":
        for line, text in entry.body:
            match = re.fullmatch(r"([A-Za-z_]\w*)\s*=\s*(-?\d+)", text)
            if not match:
                raise DescriptionError("line %d: expected CONSTANT = VALUE" % line)
            value = int(match.group(2))
            if not -(2**31) <= value < 2**31:
                raise DescriptionError("line %d: enumeration value out of range" % line)
            entry.constants.append((match.group(1), value))
    elif entry.keyword == "union":
        for _, text in entry.body:
            entry.alternatives.extend(text.split())
    elif entry.keyword == "list":
        if entry.body:
            raise DescriptionError("line %d: a list has no body" % entry.body[0][0])
    else:
        for line, text in entry.body:
            match = re.fullmatch(r"([A-Za-z_]\w*)\s*:\s*(.+)", text)
            if not match:
                raise DescriptionError("line %d: expected NAME: TYPE" % line)
            entry.fields.append(parse_type(match.group(1), match.group(2).split(), line))


# ---------------------------------------------------------------- checking


def check(entries):
    by_name = {}
    for entry in entries:
        if entry.name in by_name:
            raise DescriptionError("line %d: %s defined twice" % (entry.line, entry.name))
        by_name[entry.name] = entry

    def resolve(field, owner):
        if field.kind == "union":
            target = by_name.get(field.target)
            if target is None or target.keyword != "union":
                raise DescriptionError("line %d: %s is not a union" % (field.line, field.target))
        elif field.kind == "named":
            target = by_name.get(field.target)
            if target is None or target.keyword == "union":
                raise DescriptionError("line %d: unknown type %s" % (field.line, field.target))
            if target.keyword == "enum":
                field.kind, field.cpp_type = "enum", "std::int32_t"
            elif target.keyword == "list":
                field.kind = "list"
            elif target.keyword in ("record",) or owner == "list":
                field.kind = "record"
            else:
                raise DescriptionError(
                    "line %d: %s is a message; a field holds it through a union" % (field.line, field.target))

    fixed_tags = {}
    for entry in entries:
        if entry.keyword == "message":
            if entry.number in fixed_tags:
                raise DescriptionError("line %d: tag %d also used by %s" % (entry.line, entry.number, fixed_tags[entry.number]))
            fixed_tags[entry.number] = entry.name
        if entry.keyword in ("message", "pair") and entry.number == 0:
            raise DescriptionError("line %d: tag number 0 is not allowed" % entry.line)
        if entry.keyword == "list":
            element = entry.element
            if element.nullable or element.optional or element.defaulted:
                raise DescriptionError("line %d: list elements cannot be optional" % entry.line)
            resolve(element, "list")
            if element.kind not in ("record", "union", "string", "integer"):
                raise DescriptionError("line %d: unsupported list element" % entry.line)
        if entry.keyword == "union":
            seen = {}
            for name in entry.alternatives:
                target = by_name.get(name)
                if target is None or target.keyword not in ("message", "pair"):
                    raise DescriptionError("line %d: union alternative %s is not a message" % (entry.line, name))
                for legacy in (False, True):
                    tag = wire_tag(target, legacy)
                    if (tag, legacy) in seen:
                        raise DescriptionError(
                            "line %d: %s and %s share tag %d" % (entry.line, name, seen[(tag, legacy)], tag))
                    seen[(tag, legacy)] = name
        if entry.constructed:
            names = set()
            optional_seen = defaulted_seen = False
            for field in entry.fields:
                if field.name in RESERVED or field.name in names:
                    raise DescriptionError("line %d: field name %s not allowed" % (field.line, field.name))
                names.add(field.name)
                if field.has_flag and field.flag in [f.name for f in entry.fields]:
                    raise DescriptionError("line %d: %s clashes with a presence flag" % (field.line, field.flag))
                resolve(field, entry.keyword)
                if field.optional:
                    optional_seen = True
                elif field.defaulted:
                    if optional_seen:
                        raise DescriptionError("line %d: defaulted field after an optional one" % field.line)
                    defaulted_seen = True
                elif optional_seen or defaulted_seen:
                    raise DescriptionError("line %d: required field after an optional or defaulted one" % field.line)
    return by_name


def wire_tag(entry, legacy):
    if entry.keyword == "message":
        return entry.number * 8 + 3
    if entry.keyword == "pair":
        return entry.number * 8 + (3 if legacy else 5)
    return 1 if legacy else 129


def ordered(entries, by_name):
    """Constructed classes and lists, each after the classes its members need complete."""
    result, state = [], {}

    def needs(entry):
        if entry.keyword == "list":
            fields = [entry.element]
        else:
            fields = entry.fields
        return [f.target for f in fields if f.kind in ("record", "list")]

    def visit(entry):
        if state.get(entry.name) == "done":
            return
        if state.get(entry.name) == "busy":
            raise DescriptionError("line %d: %s contains itself" % (entry.line, entry.name))
        state[entry.name] = "busy"
        for name in needs(entry):
            visit(by_name[name])
        state[entry.name] = "done"
        result.append(entry)

    for entry in entries:
        if entry.constructed or entry.keyword == "list":
            visit(entry)
    return result


# ---------------------------------------------------------------- header


def member_declaration(field, by_name):
    if field.kind in ("bool", "integer", "enum", "double"):
        default = " = false" if field.kind == "bool" else " = 0"
        declaration = "%s %s%s;" % (field.cpp_type, field.name, default)
    elif field.kind in ("string", "bignum"):
        declaration = "%s %s;" % (field.cpp_type, field.name)
    elif field.kind == "record":
        declaration = "Owned<%s> %s;" % (field.target, field.name)
    elif field.kind == "union":
        declaration = "Owned<protocol::BerConstructed> %s;" % field.name
    elif field.kind == "list":
        declaration = "%s::Storage %s;" % (field.target, field.name)
    notes = []
    if field.kind == "string":
        notes.append("at most %d bytes" % field.max_length)
    if field.kind == "integer" and field.bounded:
        notes.append("%d to %d" % (field.minimum, field.maximum))
    if field.kind == "enum":
        notes.append(field.target)
    if field.kind == "union":
        alternatives = by_name[field.target].alternatives
        if len(alternatives) <= 5:
            notes.append("%s: %s" % (field.target, " | ".join(alternatives)))
        else:
            notes.append("%s: %d messages" % (field.target, len(alternatives)))
    if field.nullable:
        notes.append("or NULL")
    if field.optional:
        notes.append("optional")
    if field.defaulted:
        notes.append("may be missing on reading")
    if field.recycled:
        notes.append("storage kept for the next message")
    lines = [(declaration, "; ".join(notes))]
    if field.has_flag:
        lines.append(("bool %s = false;" % field.flag, "%s is present" % field.name))
    return lines


def aligned(pairs, indent="    "):
    width = max((len(code) for code, note in pairs if note), default=0)
    out = []
    for code, note in pairs:
        out.append(indent + (code.ljust(width) + " // " + note if note else code))
    return out


def class_declaration(entry, by_name):
    name = entry.name
    required = sum(1 for f in entry.fields if not f.optional and not f.defaulted)
    if entry.keyword == "message":
        comment = "[APPLICATION %d], a top-level message" % entry.number
        tag_line = "static constexpr std::uint32_t wireTag(bool) { return detail::fixedTag(tagNumber); }"
    elif entry.keyword == "pair":
        comment = "[%d], [APPLICATION %d] in the legacy encoding" % (entry.number, entry.number)
        tag_line = "static constexpr std::uint32_t wireTag(bool legacy) { return detail::pairTag(tagNumber, legacy); }"
    else:
        comment = "SEQUENCE"
        tag_line = "static constexpr std::uint32_t wireTag(bool legacy) { return detail::seqTag(legacy); }"
    out = ["// %s." % comment, "class %s : public protocol::BerConstructed {" % name, "public:"]
    if entry.keyword == "record":
        out.append('    static constexpr const char* tagConstant = "%s";' % constant_stem(name))
    else:
        out.append("    static constexpr std::uint32_t tagNumber = %d;" % entry.number)
    out.append("    " + tag_line)
    if entry.fields:
        out.append("")
        pairs = []
        for field in entry.fields:
            pairs.extend(member_declaration(field, by_name))
        out.extend(aligned(pairs))
    recycled = [f for f in entry.fields if f.recycled]
    if recycled:
        out += ["", "    %s() = default;" % name, "    %s(const %s&) = default;" % (name, name),
                "    %s& operator=(const %s&) = default;" % (name, name),
                "    ~%s() override;" % name]
    out += [
        "",
        "    %s* clone() const override;" % name,
        "    std::uint32_t tag(bool legacy) const override { return wireTag(legacy); }",
        "    void readDone() override {}",
        "    bool operator==(const protocol::BerValue& other) const override;",
        "    bool operator<(const protocol::BerValue& other) const override;",
        "    bool operator>(const protocol::BerValue& other) const override;",
        "    void write(protocol::BasicIo& io, bool legacy) const override;",
        "    protocol::BerValue* child(std::uint32_t position, std::uint32_t received, std::uint32_t reserved,",
        "                              bool legacy) override;",
        "    std::uint32_t minFields() const override { return %d; }" % required,
        "};",
    ]
    return out


def list_declaration(entry, by_name):
    name, element = entry.name, entry.element
    if element.kind == "record":
        base = "detail::RecordList<%s, %s>" % (name, element.target)
        extra = ['    static constexpr const char* elementConstant = "%s";' % constant_stem(element.target)]
        comment = "SEQUENCE OF %s" % element.target
    elif element.kind == "union":
        base = "detail::UnionList<%s>" % name
        extra = ["    static constexpr const detail::Union& alternatives = unions::%s;" % element.target]
        comment = "SEQUENCE OF union %s" % element.target
    elif element.kind == "string":
        base = "detail::StringList<%s>" % name
        extra = ["    static constexpr std::uint32_t maxLength = %d;" % element.max_length]
        comment = "SEQUENCE OF strings of at most %d bytes" % element.max_length
    else:
        base = "detail::IntegerList<%s, %s>" % (name, element.cpp_type)
        extra = [
            "    static constexpr %s minimum = %s;" % (element.cpp_type, literal(element.minimum, element.cpp_type)),
            "    static constexpr %s maximum = %s;" % (element.cpp_type, literal(element.maximum, element.cpp_type)),
        ]
        comment = "SEQUENCE OF %s, %d to %d" % (element.cpp_type, element.minimum, element.maximum)
    return [
        "// %s: a view of a list member of its owner." % comment,
        "class %s : public %s {" % (name, base),
        "public:",
        '    static constexpr const char* className = "%s";' % name,
    ] + extra + [
        "",
        "    explicit %s(Storage& storage) : %s(storage) {}" % (name, base.split("<")[0].replace("detail::", "")),
        "};",
    ]


def enum_declaration(entry):
    out = ["// ENUMERATED.", "class %s : public protocol::BerEnumerated {" % entry.name, "public:"]
    for constant, value in entry.constants:
        out.append("    static constexpr std::int32_t %s = %d;" % (constant, value))
    out += [
        "",
        "    using BerEnumerated::BerEnumerated;",
        "    %s* clone() const override { return new %s(*this); }" % (entry.name, entry.name),
        "};",
    ]
    return out


def header(entries, by_name):
    out = [
        "// Generated by src/proto/generate.py from src/proto/protocol.desc. Do not edit.",
        "#pragma once",
        '#include "proto/support.h"',
        "",
        "#include <cstdint>",
        "#include <string>",
        "",
        "namespace proto {",
        "",
        "// Tag constants of the records, named in the errors of the lists.",
    ]
    for entry in entries:
        if entry.keyword == "record":
            stem = constant_stem(entry.name)
            out.append("constexpr std::uint32_t %s_CURRENT = protocol::BE_SEQ_CURRENT;" % stem)
            out.append("constexpr std::uint32_t %s_LEGACY = protocol::BE_SEQ_LEGACY;" % stem)
    out += ["", "// The alternatives of each union, chosen by the received tag.", "namespace unions {"]
    for entry in entries:
        if entry.keyword == "union":
            text = "%s: %s." % (entry.name, ", ".join(entry.alternatives))
            out += ["// " + line for line in textwrap.wrap(text, 100)]
            out.append("extern const detail::Union %s;" % entry.name)
    out += ["} // namespace unions", "", "namespace detail {",
            "// A new top-level message for a [APPLICATION n] tag, or null.",
            "protocol::BerConstructed* newTopLevelMessage(std::uint32_t tag);",
            "} // namespace detail", ""]
    for entry in entries:
        if entry.keyword == "enum":
            out += enum_declaration(entry) + [""]
    for entry in ordered(entries, by_name):
        if entry.keyword == "list":
            out += list_declaration(entry, by_name) + [""]
        else:
            out += class_declaration(entry, by_name) + [""]
    out.append("} // namespace proto")
    return "\n".join(out) + "\n"


# ---------------------------------------------------------------- sources


def read_expression(entry, field):
    name = field.name
    if field.kind == "bool":
        return "detail::readBool(%s, received)" % name
    if field.kind == "double":
        return "detail::readReal(%s, received)" % name
    if field.kind == "bignum":
        return "detail::readBigNum(%s, received)" % name
    if field.kind == "string":
        return "detail::readString(%s, received, legacy, %d)" % (name, field.max_length)
    if field.kind == "integer":
        if field.bounded:
            return "detail::readInteger(%s, received, %s, %s)" % (
                name, literal(field.minimum, field.cpp_type), literal(field.maximum, field.cpp_type))
        return "detail::readInteger(%s, received)" % name
    if field.kind == "enum":
        return "detail::readEnumerated<%s>(%s, received)" % (field.target, name)
    if field.kind == "record":
        return "detail::readRecord(%s, received, legacy)" % name
    if field.kind == "list":
        return "detail::readList<%s>(%s, received, legacy)" % (field.target, name)
    if field.kind == "union":
        return 'detail::readUnion(%s, unions::%s, received, legacy, "%s.this->%s")' % (
            name, field.target, entry.name, name)
    raise AssertionError(field.kind)


def write_statement(field):
    name = field.name
    if field.kind == "bool":
        return "detail::writeBool(io, %s);" % name
    if field.kind == "double":
        return "detail::writeReal(io, %s);" % name
    if field.kind == "bignum":
        return "detail::writeBigNum(io, %s);" % name
    if field.kind == "string":
        return "detail::writeString(io, %s, legacy, %d);" % (name, field.max_length)
    if field.kind == "integer":
        if field.bounded:
            return "detail::writeInteger(io, %s, %s, %s);" % (
                name, literal(field.minimum, field.cpp_type), literal(field.maximum, field.cpp_type))
        return "detail::writeInteger(io, %s);" % name
    if field.kind == "enum":
        return "detail::writeEnumerated(io, %s);" % name
    if field.kind in ("record", "union"):
        return 'detail::writeRequired(io, %s.get(), legacy, "this->%s");' % (name, name)
    if field.kind == "list":
        return "detail::writeList<%s>(io, %s, legacy);" % (field.target, name)
    raise AssertionError(field.kind)


def uses_legacy(field):
    return field.kind in ("string", "record", "list", "union")


def comparison(entry, operator):
    name = entry.name
    head = ["bool %s::operator%s(const protocol::BerValue& other) const" % (name, operator), "{"]
    if not entry.fields:
        return head + ["    return dynamic_cast<const %s*>(&other) != nullptr;" % name, "}"]
    terms = []
    for field in entry.fields:
        f = field.name
        if field.has_flag:
            helper = {"==": "sameOptional", "<": "lessOptional", ">": "greaterOptional"}[operator]
            terms.append("detail::%s(%s, %s, o->%s, o->%s)" % (helper, field.flag, f, field.flag, f))
        elif operator == "==":
            terms.append("%s == o->%s" % (f, f))
        else:
            terms.append("detail::%s(%s, o->%s)" % ("less" if operator == "<" else "greater", f, f))
    body = ["    auto* o = dynamic_cast<const %s*>(&other);" % name, "    return o != nullptr"]
    body += ["        && " + term for term in terms]
    body[-1] += ";"
    return head + body + ["}"]


def class_definition(entry):
    name = entry.name
    out = []
    recycled = [f for f in entry.fields if f.recycled]
    if recycled:
        out += ["%s::~%s()" % (name, name), "{"]
        out += ["    protocol::keepSpare(%s);" % f.name for f in recycled]
        out += ["}", ""]
    out += ["%s* %s::clone() const" % (name, name), "{", "    return new %s(*this);" % name, "}", ""]
    for operator in ("==", "<", ">"):
        out += comparison(entry, operator) + [""]

    out += ["void %s::write(protocol::BasicIo& io, bool legacy) const" % name, "{",
            "    detail::beginConstructed(io, wireTag(legacy));"]
    for field in entry.fields:
        statement = write_statement(field)
        if field.nullable:
            out += ["    if (%s)" % field.flag, "        " + statement, "    else", "        detail::writeNull(io);"]
        elif field.optional:
            out += ["    if (!%s)" % field.flag, "        return detail::endConstructed(io);", "    " + statement]
        else:
            out.append("    " + statement)
    out += ["    detail::endConstructed(io);", "}", ""]

    legacy = "legacy" if any(uses_legacy(f) for f in entry.fields) else ""
    position = "position" if entry.fields else ""
    out += ["protocol::BerValue* %s::child(std::uint32_t %s, std::uint32_t received, std::uint32_t, bool %s)" % (
        name, position, legacy), "{"]
    out[-2] = out[-2].replace("std::uint32_t , ", "std::uint32_t, ").replace("bool )", "bool)")
    if len(out[-2]) > 120:
        head, tail = out[-2].split(" std::uint32_t, bool")
        out[-2:-1] = [head, " " * (head.index("(") + 1) + "std::uint32_t, bool" + tail]
    if not entry.fields:
        return out + ["    return protocol::makeSkipper(received);", "}"]
    out.append("    switch (position) {")
    for index, field in enumerate(entry.fields):
        expression = read_expression(entry, field)
        out.append("    case %d:" % index)
        if field.nullable:
            out += ["        if (received == protocol::BE_NULL)",
                    "            return detail::readNull(%s);" % field.flag]
        if field.has_flag:
            expression = "detail::present(%s, %s)" % (field.flag, expression)
        statement = "        return %s;" % expression
        if len(statement) > 120 and ", \"" in statement:
            head, tail = statement.rsplit(", \"", 1)
            statement = head + ",\n" + " " * (head.index("(") + 1) + "\"" + tail
        out.append(statement)
    out += ["    default:", "        return protocol::makeSkipper(received);", "    }", "}"]
    return out


def source(title, classes):
    out = ["// Generated by src/proto/generate.py from src/proto/protocol.desc. Do not edit.",
           "// %s." % title, '#include "proto/messages.h"', "", "namespace proto {", ""]
    for entry in classes:
        out += ["// ---- %s" % entry.name, ""] + class_definition(entry) + [""]
    out.append("} // namespace proto")
    return "\n".join(out) + "\n"


def catalogue(entries, by_name):
    out = ["// Generated by src/proto/generate.py from src/proto/protocol.desc. Do not edit.",
           "// The alternatives of the unions and the table of top-level messages.",
           '#include "proto/messages.h"', "", "#include <iterator>", "", "namespace proto {", "",
           "namespace {", ""]
    unions = [e for e in entries if e.keyword == "union"]
    for entry in unions:
        out.append("const detail::Alternative %sAlternatives[] = {" % entry.name)
        for name in entry.alternatives:
            out.append("    {&%s::wireTag, &detail::make<%s>}," % (name, name))
        out += ["};", ""]
    out += ["} // namespace", ""]
    for entry in unions:
        out.append("const detail::Union unions::%s{%sAlternatives, std::size(%sAlternatives)};" % (
            entry.name, entry.name, entry.name))
    out += ["", "protocol::BerConstructed* detail::newTopLevelMessage(std::uint32_t tag)", "{", "    switch (tag) {"]
    for entry in sorted((e for e in entries if e.keyword == "message"), key=lambda e: e.number):
        out += ["    case fixedTag(%d):" % entry.number, "        return new %s;" % entry.name]
    out += ["    default:", "        return nullptr;", "    }", "}", "", "} // namespace proto"]
    return "\n".join(out) + "\n"


def write_file(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", newline="\n") as out:
        out.write(text)


def main(argv):
    if len(argv) != 3:
        sys.stderr.write("usage: generate.py DESCRIPTION OUTPUT_DIR\n")
        return 2
    description, output = argv[1], argv[2]
    with open(description) as source_file:
        text = source_file.read()
    try:
        entries = parse(text)
        by_name = check(entries)
    except DescriptionError as error:
        sys.stderr.write("%s:%s\n" % (description, error))
        return 1
    records = [e for e in entries if e.keyword == "record"]
    messages = [e for e in entries if e.keyword == "message"]
    pairs = [e for e in entries if e.keyword == "pair"]
    base = os.path.join(output, "proto")
    write_file(os.path.join(base, "messages.h"), header(entries, by_name))
    write_file(os.path.join(base, "records.cpp"), source("Records", records))
    write_file(os.path.join(base, "application_messages.cpp"), source("Top-level messages", messages))
    write_file(os.path.join(base, "context_messages.cpp"), source("Messages with a tag pair", pairs))
    write_file(os.path.join(base, "catalogue.cpp"), catalogue(entries, by_name))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
