// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// Short builders for the rows of a control's dispatch table, so that each row reads as the
// member's documentation does: id, name, kind and type, then its flags.

#include "platform/host/Dispatch.h"

#include <initializer_list>
#include <string_view>

namespace tavrenly::dispatch_rows {

// The types as a table row names them.
inline constexpr VarType I2 = VarType::I2;
inline constexpr VarType I4 = VarType::I4;
inline constexpr VarType R4 = VarType::R4;
inline constexpr VarType Str = VarType::BStr;
inline constexpr VarType Bool = VarType::Bool;
inline constexpr VarType None = VarType::Empty;

/// A by-value argument.
constexpr ParamInfo In(std::string_view name, VarType type, std::string_view typeName = {})
{
    return {.name = name, .type = type, .typeName = typeName};
}

/// A by-reference argument (written back after the call).
constexpr ParamInfo Ref(std::string_view name, VarType type, std::string_view typeName = {})
{
    return {.name = name, .type = type, .byRef = true, .typeName = typeName};
}

/// An optional by-reference boolean with its default.
constexpr ParamInfo OptionalRef(std::string_view name, bool defaultValue)
{
    return {.name = name,
            .type = VarType::Bool,
            .byRef = true,
            .optional = true,
            .optionalDefault = defaultValue};
}

constexpr MemberInfo Method(int32_t id, std::string_view name, VarType result,
                            std::initializer_list<ParamInfo> params = {},
                            std::string_view resultTypeName = {})
{
    MemberInfo member{.memberId = id,
                      .name = name,
                      .kind = MemberKind::Method,
                      .type = result,
                      .typeName = resultTypeName};
    size_t i = 0;
    for (const ParamInfo& param : params)
        member.params[i++] = param;
    return member;
}

/// A read-only property.
constexpr MemberInfo Get(int32_t id, std::string_view name, VarType type,
                         std::string_view typeName = {})
{
    return {.memberId = id,
            .name = name,
            .kind = MemberKind::Property,
            .type = type,
            .typeName = typeName};
}

/// A property with a put taking its value by value.
constexpr MemberInfo GetPut(int32_t id, std::string_view name, VarType type,
                            std::string_view typeName = {})
{
    MemberInfo member = Get(id, name, type, typeName);
    member.canPut = true;
    return member;
}

/// A property whose put takes its value by reference.
constexpr MemberInfo GetPutRef(int32_t id, std::string_view name, VarType type,
                               std::string_view typeName = {})
{
    MemberInfo member = GetPut(id, name, type, typeName);
    member.putByRef = true;
    return member;
}

constexpr MemberInfo Hidden(MemberInfo member)
{
    member.nonBrowsable = true;
    return member;
}

constexpr MemberInfo Help(MemberInfo member, std::string_view helpString)
{
    member.helpString = helpString;
    return member;
}

constexpr EventInfo Event(int32_t id, std::string_view name,
                          std::initializer_list<ParamInfo> params = {})
{
    EventInfo event{.eventId = id, .name = name};
    size_t i = 0;
    for (const ParamInfo& param : params)
        event.params[i++] = param;
    return event;
}

} // namespace tavrenly::dispatch_rows
