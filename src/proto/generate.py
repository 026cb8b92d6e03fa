#!/usr/bin/env python3
"""Generates the protocol classes of namespace proto from the protocol description.

    generate.py DESCRIPTION OUTPUT_DIR

writes OUTPUT_DIR/proto/messages.h (every class) and four sources: records.cpp (records),
application_messages.cpp (top-level messages), context_messages.cpp (messages with a tag pair)
catalogue.cpp (union alternatives and the table of top-level messages) and transcribed.cpp (the
fields of the messages restore-host's transcript shows). The format of the description is
explained at the top of protocol.desc; what each kind of field becomes is the table KINDS.
Standard library only.
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
        self.kind = kind  # a key of KINDS
        self.line = line
        self.max_length = None  # strings and bytes
        self.minimum = self.maximum = None  # integers
        self.bounded = False
        self.target = None  # enum, record, list or union name
        self.nullable = False
        self.optional = False
        self.defaulted = False  # always written, yet a received value may end before it
        self.recycled = False  # storage kept for the next message when the owner dies
        self.transcribed = True  # shown by the transcript when its message is

    @property
    def cpp_type(self):
        return KINDS[self.kind].cpp

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
        self.transcribed = False  # messages and pairs: restore-host's transcript shows the fields

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


# ---------------------------------------------------------------- field kinds


class Kind:
    """What one kind of field becomes. The texts are formatted with the field's name, target
    (the enumeration, record, list or union it names), max (the largest length), range
    (", MIN, MAX" of a bounded integer, else nothing), owner (the class holding the field) and
    value (the field as the transcription reaches it)."""

    def __init__(self, member, read, write, cpp=None, argument=None, note=None, legacy=False,
                 holds_target=False, recyclable=False, transcribe=None, present=None, element=None):
        self.member = member  # the member's declaration
        self.read = read  # the expression that reads a received value into the member
        self.write = write  # the statement that writes the member
        self.cpp = cpp  # the member's C++ type, for a plain value
        self.argument = argument  # after the type word: None, "length", "range", "union"; "named":
        # no type word, the field names an entry of this kind
        self.note = note  # function (field, entries by name) -> the member's comment or None
        self.legacy = legacy  # reading and writing depend on the encoding
        self.holds_target = holds_target  # the member needs its target's class complete
        self.recyclable = recyclable  # the member's storage may be kept for the next message
        self.transcribe = transcribe  # the FieldVisitor call; None: the transcript cannot show it
        self.present = present  # a test the value passes to be shown, else it shows as absent
        self.element = element  # function (list name, element) -> (base class, extra lines,
        # comment) of a list of this kind; None: no list holds it


def union_note(field, by_name):
    alternatives = by_name[field.target].alternatives
    if len(alternatives) <= 5:
        return "%s: %s" % (field.target, " | ".join(alternatives))
    return "%s: %d messages" % (field.target, len(alternatives))


def string_list(name, element):
    return ("detail::StringList<%s>" % name,
            ["    static constexpr std::uint32_t maxLength = %d;" % element.max_length],
            "SEQUENCE OF strings of at most %d bytes" % element.max_length)


def integer_list(name, element):
    cpp = element.cpp_type
    return ("detail::IntegerList<%s, %s>" % (name, cpp),
            ["    static constexpr %s minimum = %s;" % (cpp, literal(element.minimum, cpp)),
             "    static constexpr %s maximum = %s;" % (cpp, literal(element.maximum, cpp))],
            "SEQUENCE OF %s, %d to %d" % (cpp, element.minimum, element.maximum))


def record_list(name, element):
    return ("detail::RecordList<%s, %s>" % (name, element.target),
            ['    static constexpr const char* elementConstant = "%s";' % constant_stem(element.target)],
            "SEQUENCE OF %s" % element.target)


def union_list(name, element):
    return ("detail::UnionList<%s>" % name,
            ["    static constexpr const detail::Union& alternatives = unions::%s;" % element.target],
            "SEQUENCE OF union %s" % element.target)


def at_most(field, by_name):
    return "at most %d bytes" % field.max_length


def integer_kind(cpp, signed):
    return Kind(
        "{cpp} {name} = 0;", "detail::readInteger({name}, received{range})",
        "detail::writeInteger(io, {name}{range});", cpp=cpp, argument="range",
        note=lambda field, by_name: "%d to %d" % (field.minimum, field.maximum) if field.bounded else None,
        transcribe='visitor.%s("{name}", {value});' % ("signedNumber" if signed else "unsignedNumber"),
        element=integer_list)


KINDS = {
    "bool": Kind("bool {name} = false;", "detail::readBool({name}, received)", "detail::writeBool(io, {name});",
                 cpp="bool"),
    "double": Kind("double {name} = 0;", "detail::readReal({name}, received)", "detail::writeReal(io, {name});",
                   cpp="double"),
    "bignum": Kind("BigNum {name};", "detail::readBigNum({name}, received)", "detail::writeBigNum(io, {name});",
                   cpp="BigNum"),
    "string": Kind("std::string {name};", "detail::readString({name}, received, legacy, {max})",
                   "detail::writeString(io, {name}, legacy, {max});", cpp="std::string", argument="length",
                   note=at_most, legacy=True, recyclable=True, transcribe='visitor.text("{name}", {value});',
                   element=string_list),
    # A string on the wire, but binary data: the transcript shows its length and MD5.
    "bytes": Kind("std::string {name};", "detail::readString({name}, received, legacy, {max})",
                  "detail::writeString(io, {name}, legacy, {max});", cpp="std::string", argument="length",
                  note=at_most, legacy=True, recyclable=True, transcribe='visitor.bytes("{name}", {value});'),
    "enum": Kind("std::int32_t {name} = 0;", "detail::readEnumerated<{target}>({name}, received)",
                 "detail::writeEnumerated(io, {name});", cpp="std::int32_t", argument="named",
                 note=lambda field, by_name: field.target, transcribe='visitor.signedNumber("{name}", {value});'),
    "record": Kind("Owned<{target}> {name};", "detail::readRecord({name}, received, legacy)",
                   'detail::writeRequired(io, {name}.get(), legacy, "this->{name}");', argument="named",
                   legacy=True, holds_target=True, element=record_list),
    "list": Kind("{target}::Storage {name};", "detail::readList<{target}>({name}, received, legacy)",
                 "detail::writeList<{target}>(io, {name}, legacy);", argument="named", legacy=True,
                 holds_target=True),
    "union": Kind("Owned<protocol::BerConstructed> {name};",
                  'detail::readUnion({name}, unions::{target}, received, legacy, "{owner}.this->{name}")',
                  'detail::writeRequired(io, {name}.get(), legacy, "this->{name}");', argument="union",
                  note=union_note, legacy=True, transcribe='visitor.message("{name}", *{value});',
                  present="{value}", element=union_list),
}
for _name, (_cpp, _low, _high) in INTEGERS.items():
    KINDS[_name] = integer_kind(_cpp, _low < 0)


def texts(field, owner="", value=""):
    """What the texts of the field's kind are formatted with."""
    bounds = ""
    if field.bounded:
        bounds = ", %s, %s" % (literal(field.minimum, field.cpp_type), literal(field.maximum, field.cpp_type))
    return dict(name=field.name, target=field.target, max=field.max_length, range=bounds, owner=owner,
                cpp=field.cpp_type, value=value)


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
        elif keyword in ("message", "pair") and len(words) in (3, 4) and words[2].isdigit() and \
                words[3:] in ([], ["transcribed"]):
            current = Entry(keyword, words[1], number, int(words[2]))
            current.transcribed = len(words) == 4
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
    if words[-2:] == ["not", "transcribed"]:
        field.transcribed = False
        words = words[:-2]
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
    recyclable = words[0] in KINDS and KINDS[words[0]].recyclable
    if field.recycled and (not recyclable or field.has_flag or field.defaulted):
        raise DescriptionError("line %d: only a required string or bytes can be recycled" % line)
    head, rest = words[0], words[1:]
    argument = KINDS[head].argument if head in KINDS else "named"
    if argument is None and not rest:
        field.kind = head
    elif argument == "length" and len(rest) == 1 and rest[0].isdigit():
        field.kind = head
        field.max_length = int(rest[0])
        if field.max_length > 2**32 - 1:
            raise DescriptionError("line %d: string maximum too large" % line)
    elif argument == "range" and len(rest) <= 1:
        field.kind = head
        _, low, high = INTEGERS[head]
        field.minimum, field.maximum = low, high
        if rest:
            match = re.fullmatch(r"(-?\d+)\.\.(-?\d+)", rest[0])
            if not match:
                raise DescriptionError("line %d: bad range %r" % (line, rest[0]))
            field.minimum, field.maximum = int(match.group(1)), int(match.group(2))
            if not low <= field.minimum <= field.maximum <= high:
                raise DescriptionError("line %d: range outside %s" % (line, head))
        field.bounded = (field.minimum, field.maximum) != (low, high)
    elif argument == "union" and len(rest) == 1:
        field.kind = head
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
                field.kind = "enum"
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
            if KINDS[element.kind].element is None:
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
                if not field.transcribed and not entry.transcribed:
                    raise DescriptionError("line %d: %s is not transcribed anyway" % (field.line, entry.name))
                if entry.transcribed and field.transcribed and KINDS[field.kind].transcribe is None:
                    raise DescriptionError("line %d: the transcript cannot show field %s" % (field.line, field.name))
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
        return [f.target for f in fields if KINDS[f.kind].holds_target]

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
    kind = KINDS[field.kind]
    declaration = kind.member.format(**texts(field))
    notes = []
    note = kind.note(field, by_name) if kind.note else None
    if note:
        notes.append(note)
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
    base, extra, comment = KINDS[element.kind].element(name, element)
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
    return KINDS[field.kind].read.format(**texts(field, owner=entry.name))


def write_statement(field):
    return KINDS[field.kind].write.format(**texts(field))


def uses_legacy(field):
    return KINDS[field.kind].legacy


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


def transcription(entries):
    out = ["// Generated by src/proto/generate.py from src/proto/protocol.desc. Do not edit.",
           "// The fields of the messages that restore-host's transcript shows.",
           '#include "proto/messages.h"', '#include "proto/transcribed.h"', "", "namespace proto {", "",
           "const char* visitTranscribed(const protocol::BerValue& message, FieldVisitor& visitor)", "{"]
    for entry in entries:
        if not entry.transcribed:
            continue
        fields = [f for f in entry.fields if f.transcribed]
        if not fields:
            out += ["    if (dynamic_cast<const %s*>(&message))" % entry.name, '        return "%s";' % entry.name]
            continue
        out.append("    if (auto* m = dynamic_cast<const %s*>(&message)) {" % entry.name)
        for field in fields:
            kind = KINDS[field.kind]
            value = "m->" + field.name
            tests = (["m->" + field.flag] if field.has_flag else []) + ([kind.present.format(value=value)]
                                                                          if kind.present else [])
            call = kind.transcribe.format(**texts(field, value=value))
            if tests:
                out += ["        if (%s)" % " && ".join(tests), "            " + call, "        else",
                        '            visitor.absent("%s");' % field.name]
            else:
                out.append("        " + call)
        out += ['        return "%s";' % entry.name, "    }"]
    out += ["    return nullptr;", "}", "", "} // namespace proto"]
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
    write_file(os.path.join(base, "transcribed.cpp"), transcription(entries))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
