// SPDX-License-Identifier: LGPL-2.1-or-later

#pragma once

// One control's dispatch interface exported on the bus, made from its type information alone:
// each method and property of the dispatch interface becomes a method or property of
// `interfaceName`, each event a signal of `interfaceName + ".Events"`, and the introspection
// data carries the member id, the non-browsable flag, the help string and the documented type
// name of each as annotations (sd-bus's generated introspection cannot carry those, so this
// object answers Introspect and the Properties interface itself).
//
// Types on the bus: I2 -> n, I4 -> i, R4 -> d, BSTR -> s, BOOL -> b, RECORD -> ay. A method
// takes its arguments in order (trailing optional ones may be left off) and returns its
// result, if any, followed by the new value of each by-reference argument. A refused call is
// answered with a D-Bus error: unknown members as the bus's UnknownMethod / UnknownProperty,
// argument problems as InvalidArgs, a failure inside the control as org.tavrenly.Error.Failed
// with the control's code and text.
//
// Threading: the control's UI thread, which is also the one that processes `bus`.

#include "platform/host/Dispatch.h"

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <systemd/sd-bus.h>

namespace tavrenly::app {

class BusDispatchObject final : public DispatchEventSink
{
public:
    /// Exports `dispatch` at `path` on `bus` and becomes its event sink; both must outlive
    /// this object. Throws std::runtime_error when the path cannot be registered.
    BusDispatchObject(sd_bus* bus, std::string path, std::string interfaceName, Dispatch& dispatch);
    ~BusDispatchObject() override;
    BusDispatchObject(const BusDispatchObject&) = delete;
    BusDispatchObject& operator=(const BusDispatchObject&) = delete;

    const std::string& Path() const noexcept { return m_path; }

    /// The control says property `name` changed: PropertiesChanged with its new value, for a
    /// name that is one of the interface's properties.
    void PropertyChanged(std::string_view name);

    /// Runs after each event's signal was sent (the player's MPRIS view follows its events).
    void OnEvent(std::function<void(int32_t eventId)> hook) { m_eventHook = std::move(hook); }

    /// The introspection data of a control's interface as this object serves it.
    static std::string IntrospectXml(const InterfaceInfo& info, std::string_view interfaceName);

    void Event(int32_t eventId, std::span<Variant> args) override;

private:
    static int Handle(sd_bus_message* message, void* self, sd_bus_error* error);
    int HandleMethod(sd_bus_message* message, const MemberInfo& member);
    int HandlePropertyCall(sd_bus_message* message);
    int ReplyProperties(sd_bus_message* message);

    sd_bus* m_bus;
    std::string m_path;
    std::string m_interface;
    std::string m_eventsInterface;
    Dispatch& m_dispatch;
    sd_bus_slot* m_slot = nullptr;
    std::function<void(int32_t)> m_eventHook;
};

} // namespace tavrenly::app
