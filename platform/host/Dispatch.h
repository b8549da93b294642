// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// A control's dispatch interface: its members called by member id with variant arguments, its
// events delivered by event id, and its type information, for a host that drives controls by
// name and id (a script, an automation bus) instead of calling their C++ members.
//
// Every control describes itself with one table of DispatchEntry rows (DispatchTable.h):
// member id, name, kind, argument names and types, result type, access, non-browsable flag,
// help string and the binding to the control's own member. Invoke, the name lookup and the
// type information are all read from that table, so they cannot disagree.
//
// Arguments are in declaration order (args[0] is the first argument). A by-reference argument
// is written back into its Variant after the call, in its declared type; the others are left
// as the caller passed them. An optional argument may be omitted or passed Empty.
//
// Threading: as the control's: the UI thread of its event loop. Invoke may run inside one of
// the control's events, as a direct call may.

#include "Variant.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace tavrenly {

// Results of Invoke and GetIDsOfNames, with the platform's values so that automation clients
// recognise them.
inline constexpr int32_t DISP_S_OK = 0;
inline constexpr int32_t DISP_E_MEMBERNOTFOUND = static_cast<int32_t>(0x80020003u);
inline constexpr int32_t DISP_E_PARAMNOTFOUND = static_cast<int32_t>(0x80020004u);
inline constexpr int32_t DISP_E_TYPEMISMATCH = static_cast<int32_t>(0x80020005u);
inline constexpr int32_t DISP_E_UNKNOWNNAME = static_cast<int32_t>(0x80020006u);
inline constexpr int32_t DISP_E_EXCEPTION = static_cast<int32_t>(0x80020009u);
inline constexpr int32_t DISP_E_OVERFLOW = static_cast<int32_t>(0x8002000Au);
inline constexpr int32_t DISP_E_BADPARAMCOUNT = static_cast<int32_t>(0x8002000Eu);
inline constexpr int32_t DISP_E_PARAMNOTOPTIONAL = static_cast<int32_t>(0x8002000Fu);

/// "DISP_E_MEMBERNOTFOUND" and so on for the codes above; "" for any other code.
std::string_view DispatchErrorName(int32_t code) noexcept;

/// What an Invoke does; a caller may combine DISPATCH_METHOD and DISPATCH_PROPERTYGET, as
/// scripting hosts do when they cannot tell a method from a property.
enum InvokeKind : uint16_t
{
    DISPATCH_METHOD = 1,
    DISPATCH_PROPERTYGET = 2,
    DISPATCH_PROPERTYPUT = 4,
    DISPATCH_PROPERTYPUTREF = 8, ///< no member of the controls takes an object: always refused
};

/// Most arguments any member or event takes.
inline constexpr size_t kMaxDispatchParams = 8;

struct ParamInfo
{
    std::string_view name; ///< empty marks the end of the list
    VarType type = VarType::Empty;
    bool byRef = false;             ///< the control may change it; written back
    bool optional = false;          ///< may be omitted; then `optionalDefault` is passed
    std::string_view typeName = {}; ///< the documented enumeration or record ("enSampleRate")
    bool optionalDefault = false;   ///< default of an optional argument (all are booleans)
};

enum class MemberKind : uint8_t
{
    Method,
    Property,
};

struct MemberInfo
{
    int32_t memberId = 0;
    std::string_view name;
    MemberKind kind = MemberKind::Method;
    /// A method's result (Empty: none) or a property's value type.
    VarType type = VarType::Empty;
    std::string_view typeName = {};
    /// Properties: whether a put exists (every property has a get).
    bool canPut = false;
    /// Properties: the put takes its value by reference and may change the caller's value.
    bool putByRef = false;
    /// Hidden from design-time property lists.
    bool nonBrowsable = false;
    std::string_view helpString = {};
    /// Methods: the arguments, in order; unused entries have an empty name.
    std::array<ParamInfo, kMaxDispatchParams> params = {};

    size_t ParamCount() const noexcept;
    /// Arguments before the first optional one.
    size_t RequiredParamCount() const noexcept;
};

struct EventInfo
{
    int32_t eventId = 0;
    std::string_view name;
    std::array<ParamInfo, 2> params = {};

    size_t ParamCount() const noexcept;
};

/// The type information of one control: generated from its table once, valid for the whole
/// program.
struct InterfaceInfo
{
    std::string_view name;       ///< "_TavrenPlayer"
    std::string_view eventsName; ///< "__TavrenPlayer"
    std::span<const MemberInfo> members;
    std::span<const EventInfo> events;

    /// Null when no member has that id.
    const MemberInfo* FindMember(int32_t memberId) const noexcept;
    /// Case-insensitive, as dispatch names are; null when unknown.
    const MemberInfo* FindMember(std::string_view memberName) const noexcept;
    const EventInfo* FindEvent(int32_t eventId) const noexcept;
};

/// Details of a failed Invoke.
struct DispatchError
{
    /// Index of the offending argument for DISP_E_TYPEMISMATCH, DISP_E_OVERFLOW and
    /// DISP_E_PARAMNOTOPTIONAL.
    uint32_t argErr = 0;
    /// For DISP_E_EXCEPTION: the control's error code (a RuntimeError's) and its text.
    int32_t code = 0;
    std::string description;
};

/// Receives a control's events by id. Each event's arguments are in declaration order and of
/// the declared types; a by-reference argument the sink changes (keeping its type) is handed
/// back to the control as a direct listener's change would be. The span is valid only during
/// the call. Called on the UI thread, synchronously; the sink may call Invoke meanwhile.
class DispatchEventSink
{
public:
    virtual ~DispatchEventSink() = default;
    virtual void Event(int32_t eventId, std::span<Variant> args) = 0;
};

/// One control seen through its dispatch interface.
class Dispatch
{
public:
    virtual ~Dispatch() = default;

    virtual const InterfaceInfo& TypeInfo() const noexcept = 0;

    /// Calls member `memberId`: a method (DISPATCH_METHOD), a property's get
    /// (DISPATCH_PROPERTYGET, no argument) or put (DISPATCH_PROPERTYPUT, the value as the one
    /// argument). `result` receives the method's result or the property's value (Empty for a
    /// put or a method without result). Returns DISP_S_OK, or without calling anything:
    /// DISP_E_MEMBERNOTFOUND (unknown id, or a kind the member does not have: a get of a method,
    /// a put of a read-only property, any PUTREF), DISP_E_BADPARAMCOUNT (too many arguments, or
    /// fewer than the required ones), DISP_E_PARAMNOTOPTIONAL (a required argument passed
    /// Empty), DISP_E_TYPEMISMATCH or DISP_E_OVERFLOW (an argument cannot become its declared
    /// type); or, after calling, DISP_E_EXCEPTION when the control threw (its RuntimeError's code
    /// and text in `error`). Never throws.
    virtual int32_t Invoke(int32_t memberId, uint16_t kind, std::span<Variant> args,
                           Variant& result, DispatchError* error = nullptr) noexcept = 0;

    /// The member id of `name` (case-insensitive): DISP_S_OK, or DISP_E_UNKNOWNNAME with
    /// `memberId` unchanged.
    int32_t GetIDsOfNames(std::string_view name, int32_t& memberId) const noexcept;

    /// Events go to `sink` (owned by the caller; null stops them) by their ids.
    virtual void SetEventSink(DispatchEventSink* sink) noexcept = 0;
};

} // namespace tavrenly
