// SPDX-License-Identifier: LGPL-2.1-or-later

#include "platform/host/Dispatch.h"

#include "platform/base/Types.h"
#include "platform/host/DispatchTable.h"

#include <algorithm>
#include <exception>

namespace tavrenly {

std::string_view DispatchErrorName(int32_t code) noexcept
{
    switch (code) {
    case DISP_E_MEMBERNOTFOUND:
        return "DISP_E_MEMBERNOTFOUND";
    case DISP_E_PARAMNOTFOUND:
        return "DISP_E_PARAMNOTFOUND";
    case DISP_E_TYPEMISMATCH:
        return "DISP_E_TYPEMISMATCH";
    case DISP_E_UNKNOWNNAME:
        return "DISP_E_UNKNOWNNAME";
    case DISP_E_EXCEPTION:
        return "DISP_E_EXCEPTION";
    case DISP_E_OVERFLOW:
        return "DISP_E_OVERFLOW";
    case DISP_E_BADPARAMCOUNT:
        return "DISP_E_BADPARAMCOUNT";
    case DISP_E_PARAMNOTOPTIONAL:
        return "DISP_E_PARAMNOTOPTIONAL";
    default:
        return "";
    }
}

namespace {

template <size_t N> size_t CountNamed(const std::array<ParamInfo, N>& params) noexcept
{
    return static_cast<size_t>(std::find_if(params.begin(), params.end(),
                                            [](const ParamInfo& p) { return p.name.empty(); }) -
                               params.begin());
}

bool SameName(std::string_view a, std::string_view b) noexcept
{
    // Dispatch names are ASCII; the comparison ignores case as automation clients expect.
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
        return lower(x) == lower(y);
    });
}

void SetArgErr(DispatchError* error, size_t index) noexcept
{
    if (error != nullptr)
        error->argErr = static_cast<uint32_t>(index);
}

int32_t ConvertArgument(const Variant& given, VarType type, Variant& out, size_t index,
                        DispatchError* error) noexcept
{
    try {
        out = given;
    } catch (...) {
        return DispatchExceptionResult(error);
    }
    const int32_t converted = ChangeType(out, type);
    if (converted != DISP_S_OK)
        SetArgErr(error, index);
    return converted;
}

} // namespace

size_t MemberInfo::ParamCount() const noexcept
{
    return CountNamed(params);
}

size_t MemberInfo::RequiredParamCount() const noexcept
{
    const size_t count = ParamCount();
    for (size_t i = 0; i < count; ++i) {
        if (params[i].optional)
            return i;
    }
    return count;
}

size_t EventInfo::ParamCount() const noexcept
{
    return CountNamed(params);
}

const MemberInfo* InterfaceInfo::FindMember(int32_t memberId) const noexcept
{
    const auto found = std::find_if(members.begin(), members.end(),
                                    [&](const MemberInfo& m) { return m.memberId == memberId; });
    return found == members.end() ? nullptr : &*found;
}

const MemberInfo* InterfaceInfo::FindMember(std::string_view memberName) const noexcept
{
    const auto found = std::find_if(members.begin(), members.end(), [&](const MemberInfo& m) {
        return SameName(m.name, memberName);
    });
    return found == members.end() ? nullptr : &*found;
}

const EventInfo* InterfaceInfo::FindEvent(int32_t eventId) const noexcept
{
    const auto found = std::find_if(events.begin(), events.end(),
                                    [&](const EventInfo& e) { return e.eventId == eventId; });
    return found == events.end() ? nullptr : &*found;
}

int32_t Dispatch::GetIDsOfNames(std::string_view name, int32_t& memberId) const noexcept
{
    const MemberInfo* member = TypeInfo().FindMember(name);
    if (member == nullptr)
        return DISP_E_UNKNOWNNAME;
    memberId = member->memberId;
    return DISP_S_OK;
}

int32_t DispatchExceptionResult(DispatchError* error) noexcept
{
    // Called from inside a catch block: the exception in flight is the control's.
    if (error == nullptr)
        return DISP_E_EXCEPTION;
    try {
        throw;
    } catch (const RuntimeError& e) {
        error->code = e.ErrorCode();
        error->description = e.what();
    } catch (const std::exception& e) {
        error->code = 0;
        error->description = e.what();
    } catch (...) {
        error->code = 0;
        error->description = "unknown failure";
    }
    return DISP_E_EXCEPTION;
}

int32_t PrepareDispatchCall(const MemberInfo& member, uint16_t kind, std::span<const Variant> args,
                            std::array<Variant, kMaxDispatchParams>& converted, DispatchCall& call,
                            DispatchError* error) noexcept
{
    if (member.kind == MemberKind::Property) {
        if ((kind & DISPATCH_PROPERTYPUT) != 0) {
            if (!member.canPut)
                return DISP_E_MEMBERNOTFOUND;
            if (args.size() != 1)
                return DISP_E_BADPARAMCOUNT;
            if (args[0].IsEmpty()) {
                SetArgErr(error, 0);
                return DISP_E_PARAMNOTOPTIONAL;
            }
            call = DispatchCall::Put;
            return ConvertArgument(args[0], member.type, converted[0], 0, error);
        }
        if ((kind & DISPATCH_PROPERTYGET) == 0)
            return DISP_E_MEMBERNOTFOUND;
        if (!args.empty())
            return DISP_E_BADPARAMCOUNT;
        call = DispatchCall::Get;
        return DISP_S_OK;
    }

    if ((kind & DISPATCH_METHOD) == 0)
        return DISP_E_MEMBERNOTFOUND;
    const size_t count = member.ParamCount();
    if (args.size() > count || args.size() < member.RequiredParamCount())
        return DISP_E_BADPARAMCOUNT;
    for (size_t i = 0; i < count; ++i) {
        const ParamInfo& param = member.params[i];
        if (i >= args.size() || args[i].IsEmpty()) {
            if (!param.optional) {
                SetArgErr(error, i);
                return DISP_E_PARAMNOTOPTIONAL;
            }
            converted[i] = Variant(param.optionalDefault);
            if (const int32_t r = ChangeType(converted[i], param.type))
                return r;
            continue;
        }
        if (const int32_t r = ConvertArgument(args[i], param.type, converted[i], i, error))
            return r;
    }
    call = DispatchCall::Method;
    return DISP_S_OK;
}

void WriteBackDispatchArgs(const MemberInfo& member, DispatchCall call,
                           std::span<const Variant> converted, std::span<Variant> args) noexcept
{
    try {
        if (call == DispatchCall::Put) {
            if (member.putByRef)
                args[0] = converted[0];
            return;
        }
        if (call != DispatchCall::Method)
            return;
        const size_t given = std::min(args.size(), member.ParamCount());
        for (size_t i = 0; i < given; ++i) {
            if (member.params[i].byRef && !args[i].IsEmpty())
                args[i] = converted[i];
        }
    } catch (...) {
        // Copying a string or record back can only fail for memory; the call itself is done.
    }
}

} // namespace tavrenly
