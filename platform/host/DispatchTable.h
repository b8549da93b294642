// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// How a control binds its dispatch interface to its own members: one DispatchEntry per member,
// its type information and plain functions that reach the control. InvokeDispatchEntry does
// everything a call by id shares (kind and argument checks, conversion to the declared types,
// write-back of by-reference arguments, turning exceptions into dispatch errors), so a row
// holds only what differs:
//
//     static constexpr DispatchEntry<Player> kTable[] = {
//         {{.memberId = 0x6803001c, .name = "SampleRate", .kind = MemberKind::Property,
//           .type = VarType::I4, .canPut = true, .putByRef = true},
//          .get = [](Player& p) -> Variant { return p.SampleRate(); },
//          .put = [](Player& p, Variant& v) { p.SampleRate(v.AsI4()); }},
//     };

#include "Dispatch.h"

#include <array>
#include <cstddef>
#include <span>
#include <type_traits>

namespace tavrenly {

template <class Control> struct DispatchEntry
{
    MemberInfo info;
    /// Properties: the value, of `info.type`.
    Variant (*get)(Control&) = nullptr;
    /// Properties with a put: `value` is already of `info.type`; a by-reference put stores
    /// the value the control leaves in its variable back into `value`.
    void (*put)(Control&, Variant& value) = nullptr;
    /// Methods: every argument present and of its declared type; a by-reference argument the
    /// control changed is stored back into its entry. Returns the result (Empty: none).
    Variant (*call)(Control&, std::span<Variant> args) = nullptr;
};

/// Which binding a checked Invoke runs.
enum class DispatchCall : uint8_t
{
    Get,
    Put,
    Method,
};

/// Checks `kind` and `args` against `member` and converts the arguments into `converted`
/// (the method's arguments with the defaults of omitted ones, or the put's value). Returns
/// DISP_S_OK with `call` set, or the error Invoke returns (see Dispatch::Invoke).
int32_t PrepareDispatchCall(const MemberInfo& member, uint16_t kind, std::span<const Variant> args,
                            std::array<Variant, kMaxDispatchParams>& converted, DispatchCall& call,
                            DispatchError* error) noexcept;

/// After a call: copies the by-reference values of `converted` back into the caller's `args`.
void WriteBackDispatchArgs(const MemberInfo& member, DispatchCall call,
                           std::span<const Variant> converted, std::span<Variant> args) noexcept;

/// Runs `run` (the binding), turning what it throws into DISP_E_EXCEPTION.
template <class Run> int32_t RunDispatchCall(Run&& run, DispatchError* error) noexcept;
int32_t DispatchExceptionResult(DispatchError* error) noexcept;

template <class Run> int32_t RunDispatchCall(Run&& run, DispatchError* error) noexcept
{
    try {
        run();
        return DISP_S_OK;
    } catch (...) {
        return DispatchExceptionResult(error);
    }
}

/// The row of `table` with `memberId`, or null.
template <class Control>
const DispatchEntry<Control>* FindDispatchEntry(std::span<const DispatchEntry<Control>> table,
                                                int32_t memberId) noexcept
{
    for (const DispatchEntry<Control>& entry : table) {
        if (entry.info.memberId == memberId)
            return &entry;
    }
    return nullptr;
}

/// Invoke for a control described by `table` (see Dispatch::Invoke).
template <class Control>
int32_t InvokeDispatchEntry(std::span<const DispatchEntry<Control>> table, Control& control,
                            int32_t memberId, uint16_t kind, std::span<Variant> args,
                            Variant& result, DispatchError* error) noexcept
{
    const DispatchEntry<Control>* entry = FindDispatchEntry(table, memberId);
    if (entry == nullptr)
        return DISP_E_MEMBERNOTFOUND;
    std::array<Variant, kMaxDispatchParams> converted;
    DispatchCall call = DispatchCall::Get;
    if (const int32_t refused =
            PrepareDispatchCall(entry->info, kind, args, converted, call, error))
        return refused;
    Variant value;
    const int32_t outcome = RunDispatchCall(
        [&] {
            switch (call) {
            case DispatchCall::Get:
                value = entry->get(control);
                break;
            case DispatchCall::Put:
                entry->put(control, converted[0]);
                break;
            case DispatchCall::Method:
                value = entry->call(control,
                                    std::span<Variant>(converted.data(), entry->info.ParamCount()));
                break;
            }
        },
        error);
    if (outcome != DISP_S_OK)
        return outcome;
    result = std::move(value);
    WriteBackDispatchArgs(entry->info, call, converted, args);
    return DISP_S_OK;
}

/// The type information part of each row, in table order.
template <class Control, size_t N>
constexpr std::array<MemberInfo, N> DispatchMembers(const DispatchEntry<Control> (&table)[N])
{
    std::array<MemberInfo, N> members{};
    for (size_t i = 0; i < N; ++i)
        members[i] = table[i].info;
    return members;
}

/// A by-reference event argument as the sink left it; `old` when the sink put a value there
/// that cannot be read back as the argument's type.
template <class T> T ReadBackEventArg(Variant& value, VarType type, T old) noexcept
{
    if (ChangeType(value, type) != DISP_S_OK)
        return old;
    if constexpr (std::is_same_v<T, bool>)
        return value.AsBool();
    else if constexpr (std::is_same_v<T, int16_t>)
        return value.AsI2();
    else
        return value.AsI4();
}

/// What every control's dispatch object shares: the control it drives through its table, and
/// the sink its events go to while the object is the control's listener. A control's dispatch
/// class derives from this, passes its table and type information, and turns each of the
/// listener's events into a Raise. `Listener` is the control's event interface; the control
/// has SetEventListener(Listener*).
template <class Control, class Listener> class ControlDispatch : public Dispatch, protected Listener
{
public:
    ControlDispatch(Control& control, std::span<const DispatchEntry<Control>> table,
                    const InterfaceInfo& info) noexcept
        : m_control(control), m_table(table), m_info(info)
    {}
    /// Stops the control's events here when they still come here.
    ~ControlDispatch() override
    {
        if (m_sink != nullptr)
            m_control.SetEventListener(nullptr);
    }
    ControlDispatch(const ControlDispatch&) = delete;
    ControlDispatch& operator=(const ControlDispatch&) = delete;

    const InterfaceInfo& TypeInfo() const noexcept override { return m_info; }
    int32_t Invoke(int32_t memberId, uint16_t kind, std::span<Variant> args, Variant& result,
                   DispatchError* error = nullptr) noexcept override
    {
        return InvokeDispatchEntry(m_table, m_control, memberId, kind, args, result, error);
    }
    /// Becomes the control's event listener (replacing the one it had) while `sink` is set;
    /// null gives the control no listener.
    void SetEventSink(DispatchEventSink* sink) noexcept override
    {
        m_sink = sink;
        m_control.SetEventListener(sink != nullptr ? static_cast<Listener*>(this) : nullptr);
    }

protected:
    void Raise(int32_t eventId, std::span<Variant> args = {})
    {
        if (m_sink != nullptr)
            m_sink->Event(eventId, args);
    }
    /// Raises an event whose one argument is by reference, and takes back what the sink left
    /// in it.
    template <class T> void RaiseByRef(int32_t eventId, T& value, VarType type)
    {
        Variant args[] = {value};
        Raise(eventId, args);
        value = ReadBackEventArg(args[0], type, value);
    }

    Control& m_control;
    DispatchEventSink* m_sink = nullptr;

private:
    std::span<const DispatchEntry<Control>> m_table;
    const InterfaceInfo& m_info;
};

} // namespace tavrenly
