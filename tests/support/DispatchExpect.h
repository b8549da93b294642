// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Checks shared by the dispatch tests of both controls: the type information against the list
// of documented members, calls by name, and a sink that keeps each event's id and arguments.

#include "platform/host/Dispatch.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <ostream>
#include <set>
#include <span>
#include <string>
#include <vector>

namespace tavrenly {
class Variant;
void PrintTo(const Variant& value, std::ostream* os);
} // namespace tavrenly

namespace tavrenly::test {

/// One documented member: 'M' method, 'G' read-only property, 'P' property with a put by
/// value, 'R' property with a put by reference; `hidden` for the non-browsable ones.
struct ExpectedMember
{
    int32_t id;
    const char* name;
    char access;
    bool hidden = false;
};

/// Every documented member is in the type information with its id, name and access, found by
/// id and (in lower case) by name; nothing else is there.
inline void ExpectMembers(const Dispatch& dispatch, std::span<const ExpectedMember> expected)
{
    const InterfaceInfo& info = dispatch.TypeInfo();
    EXPECT_EQ(info.members.size(), expected.size());
    std::set<int32_t> ids;
    for (const ExpectedMember& e : expected) {
        SCOPED_TRACE(e.name);
        const MemberInfo* member = info.FindMember(e.id);
        ASSERT_NE(member, nullptr);
        EXPECT_EQ(member->name, e.name);
        const char access = member->kind == MemberKind::Method ? 'M'
                            : !member->canPut                  ? 'G'
                            : member->putByRef                 ? 'R'
                                                               : 'P';
        EXPECT_EQ(access, e.access);
        EXPECT_EQ(member->nonBrowsable, e.hidden);
        std::string lower(e.name);
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        int32_t byName = 0;
        EXPECT_EQ(dispatch.GetIDsOfNames(lower, byName), DISP_S_OK);
        EXPECT_EQ(byName, e.id);
        ids.insert(e.id);
    }
    EXPECT_EQ(ids.size(), expected.size()) << "an id is listed twice";
    int32_t untouched = 7;
    EXPECT_EQ(dispatch.GetIDsOfNames("NoSuchMember", untouched), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(untouched, 7);
}

/// The event interface holds exactly `names`, event i + 1 being names[i].
inline void ExpectEvents(const Dispatch& dispatch, std::initializer_list<const char*> names)
{
    const InterfaceInfo& info = dispatch.TypeInfo();
    EXPECT_EQ(info.events.size(), names.size());
    int32_t id = 1;
    for (const char* name : names) {
        const EventInfo* event = info.FindEvent(id++);
        ASSERT_NE(event, nullptr) << name;
        EXPECT_EQ(event->name, name);
    }
}

/// Keeps every event as "Name" or "Name(arg,arg)", with numbers and booleans written out;
/// `on` runs inside the event with its arguments, so a test can change a by-reference one.
class EventSinkLog : public DispatchEventSink
{
public:
    explicit EventSinkLog(const InterfaceInfo& info) : m_info(info) {}

    void Event(int32_t eventId, std::span<Variant> args) override
    {
        const EventInfo* event = m_info.FindEvent(eventId);
        std::string text = event != nullptr ? std::string(event->name) : "?";
        if (!args.empty()) {
            text += '(';
            for (size_t i = 0; i < args.size(); ++i) {
                text += i > 0 ? "," : "";
                text += Text(args[i]);
            }
            text += ')';
        }
        events.push_back(text);
        ids.push_back(eventId);
        if (on)
            on(eventId, args);
    }

    static std::string Text(const Variant& v)
    {
        switch (v.Type()) {
        case VarType::I2:
            return std::to_string(v.AsI2());
        case VarType::I4:
            return std::to_string(v.AsI4());
        case VarType::R4:
            return std::to_string(v.AsR4());
        case VarType::Bool:
            return v.AsBool() ? "True" : "False";
        case VarType::BStr:
            return '"' + v.AsString() + '"';
        case VarType::Record:
            return std::to_string(v.AsRecord().size()) + " bytes";
        case VarType::Empty:
            break;
        }
        return "Empty";
    }

    std::vector<std::string> events;
    std::vector<int32_t> ids;
    std::function<void(int32_t, std::span<Variant>)> on;

private:
    const InterfaceInfo& m_info;
};

/// Invoke by name; fails the test unless it succeeds. Returns the result.
inline Variant Call(Dispatch& dispatch, const char* name, uint16_t kind,
                    std::vector<Variant> args = {})
{
    int32_t id = 0;
    EXPECT_EQ(dispatch.GetIDsOfNames(name, id), DISP_S_OK) << name;
    Variant result;
    DispatchError error;
    EXPECT_EQ(dispatch.Invoke(id, kind, args, result, &error), DISP_S_OK)
        << name << ": " << error.description;
    return result;
}

inline Variant Get(Dispatch& dispatch, const char* name)
{
    return Call(dispatch, name, DISPATCH_PROPERTYGET);
}

inline void Put(Dispatch& dispatch, const char* name, Variant value)
{
    Call(dispatch, name, DISPATCH_PROPERTYPUT, {std::move(value)});
}

/// One call that must be refused: its member, kind, arguments and the error with the index of
/// the offending argument.
struct RefusedCall
{
    const char* what;
    int32_t memberId;
    uint16_t kind;
    std::vector<Variant> args;
    int32_t expected;
    uint32_t argErr = 0;
};

/// Each call is refused with its error, leaves its arguments and `result` untouched, and
/// the control still answers `probeId` afterwards.
inline void ExpectRefused(Dispatch& dispatch, std::span<const RefusedCall> calls, int32_t probeId)
{
    for (const RefusedCall& call : calls) {
        SCOPED_TRACE(call.what);
        std::vector<Variant> args = call.args;
        Variant result(int32_t{12345});
        DispatchError error;
        EXPECT_EQ(dispatch.Invoke(call.memberId, call.kind, args, result, &error), call.expected)
            << DispatchErrorName(call.expected);
        if (call.expected == DISP_E_TYPEMISMATCH || call.expected == DISP_E_OVERFLOW ||
            call.expected == DISP_E_PARAMNOTOPTIONAL) {
            EXPECT_EQ(error.argErr, call.argErr);
        }
        EXPECT_EQ(result, Variant(int32_t{12345}));
        EXPECT_EQ(args, call.args);
    }
    Variant probe;
    EXPECT_EQ(dispatch.Invoke(probeId, DISPATCH_PROPERTYGET, {}, probe), DISP_S_OK);
}

} // namespace tavrenly::test

namespace tavrenly {
/// Variants print as the sink writes them, with their type.
inline void PrintTo(const Variant& value, std::ostream* os)
{
    *os << VarTypeName(value.Type()) << ' ' << test::EventSinkLog::Text(value);
}
} // namespace tavrenly
