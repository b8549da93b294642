// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/BusDispatchObject.h"

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fmt/format.h>
#include <limits>
#include <memory>
#include <stdexcept>
#include <vector>

namespace tavrenly::app {

namespace {

constexpr const char* kProperties = "org.freedesktop.DBus.Properties";
constexpr const char* kIntrospectable = "org.freedesktop.DBus.Introspectable";
constexpr const char* kFailed = "org.tavrenly.Error.Failed";

struct MessageUnref
{
    void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using Message = std::unique_ptr<sd_bus_message, MessageUnref>;

/// The bus signature of a dispatch type.
std::string_view Signature(VarType type)
{
    switch (type) {
    case VarType::I2:
        return "n";
    case VarType::I4:
        return "i";
    case VarType::R4:
        return "d";
    case VarType::BStr:
        return "s";
    case VarType::Bool:
        return "b";
    case VarType::Record:
        return "ay";
    case VarType::Empty:
        break;
    }
    return "";
}

std::string Escaped(std::string_view text)
{
    std::string out;
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

void Annotate(std::string& xml, std::string_view indent, std::string_view name,
              std::string_view value)
{
    xml += fmt::format("{}<annotation name=\"org.tavrenly.{}\" value=\"{}\"/>\n", indent, name,
                       Escaped(value));
}

void AnnotateParam(std::string& xml, const ParamInfo& param)
{
    if (!param.typeName.empty())
        Annotate(xml, "      ", "TypeName", param.typeName);
    if (param.optional)
        Annotate(xml, "      ", "OptionalDefault", param.optionalDefault ? "true" : "false");
}

void Arg(std::string& xml, const ParamInfo& param, std::string_view direction)
{
    const bool annotated = !param.typeName.empty() || (param.optional && direction == "in");
    xml += fmt::format("    <arg name=\"{}\" type=\"{}\" direction=\"{}\"{}\n", param.name,
                       Signature(param.type), direction, annotated ? ">" : "/>");
    if (!annotated)
        return;
    ParamInfo shown = param;
    if (direction != "in")
        shown.optional = false;
    AnnotateParam(xml, shown);
    xml += "    </arg>\n";
}

void AnnotateMember(std::string& xml, const MemberInfo& member)
{
    Annotate(xml, "    ", "MemberId",
             fmt::format("0x{:08x}", static_cast<uint32_t>(member.memberId)));
    if (member.nonBrowsable)
        Annotate(xml, "    ", "NonBrowsable", "true");
    if (!member.helpString.empty())
        Annotate(xml, "    ", "HelpString", member.helpString);
    if (!member.typeName.empty())
        Annotate(xml, "    ", "TypeName", member.typeName);
}

int SetError(sd_bus_error* error, const char* name, const std::string& text)
{
    return sd_bus_error_set(error, name, text.c_str());
}

/// The bus error for a refused or failed Invoke.
int DispatchFailure(sd_bus_error* error, int32_t code, const DispatchError& details,
                    const MemberInfo& member)
{
    const std::string_view codeName = DispatchErrorName(code);
    if (code == DISP_E_EXCEPTION)
        return SetError(error, kFailed,
                        fmt::format("{} failed (error {}): {}", member.name, details.code,
                                    details.description));
    if (code == DISP_E_MEMBERNOTFOUND)
        return SetError(error, SD_BUS_ERROR_UNKNOWN_METHOD,
                        fmt::format("{}: {}", member.name, codeName));
    const bool argument =
        code == DISP_E_TYPEMISMATCH || code == DISP_E_OVERFLOW || code == DISP_E_PARAMNOTOPTIONAL;
    if (argument && member.kind == MemberKind::Method && details.argErr < member.ParamCount())
        return SetError(error, SD_BUS_ERROR_INVALID_ARGS,
                        fmt::format("{}: {} in argument {} ({})", member.name, codeName,
                                    details.argErr + 1, member.params[details.argErr].name));
    return SetError(error, SD_BUS_ERROR_INVALID_ARGS, fmt::format("{}: {}", member.name, codeName));
}

/// Reads one basic value (or a byte array) of bus type `type` into `value`.
int ReadValue(sd_bus_message* message, std::string_view type, Variant& value)
{
    if (type == "ay") {
        const void* bytes = nullptr;
        size_t size = 0;
        const int r = sd_bus_message_read_array(message, 'y', &bytes, &size);
        if (r < 0)
            return r;
        const auto* begin = static_cast<const uint8_t*>(bytes);
        value = Variant(Variant::Bytes(begin, begin + size));
        return 0;
    }
    if (type.size() != 1)
        return -EINVAL;
    const char code = type[0];
    int r = 0;
    switch (code) {
    case 's': {
        const char* text = nullptr;
        r = sd_bus_message_read_basic(message, code, &text);
        value = Variant(std::string(text != nullptr ? text : ""));
        break;
    }
    case 'b': {
        int flag = 0;
        r = sd_bus_message_read_basic(message, code, &flag);
        value = Variant(flag != 0);
        break;
    }
    case 'd': {
        double number = 0;
        r = sd_bus_message_read_basic(message, code, &number);
        if (std::isfinite(number) && std::fabs(number) > std::numeric_limits<float>::max())
            return -ERANGE;
        value = Variant(static_cast<float>(number));
        break;
    }
    case 'n': {
        int16_t number = 0;
        r = sd_bus_message_read_basic(message, code, &number);
        value = Variant(number);
        break;
    }
    case 'y':
    case 'q':
    case 'i':
    case 'u':
    case 'x':
    case 't': {
        // Every other integer width is read through 64 bits and must fit an I4.
        uint64_t raw = 0;
        r = sd_bus_message_read_basic(message, code, &raw);
        int64_t number = 0;
        switch (code) {
        case 'y':
            number = static_cast<uint8_t>(raw);
            break;
        case 'q':
            number = static_cast<uint16_t>(raw);
            break;
        case 'i':
            number = static_cast<int32_t>(raw);
            break;
        case 'u':
            number = static_cast<uint32_t>(raw);
            break;
        case 'x':
            number = static_cast<int64_t>(raw);
            break;
        default:
            if (raw > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
                return -ERANGE;
            number = static_cast<int64_t>(raw);
        }
        if (number < std::numeric_limits<int32_t>::min() ||
            number > std::numeric_limits<int32_t>::max())
            return -ERANGE;
        value = Variant(static_cast<int32_t>(number));
        break;
    }
    default:
        return -EINVAL;
    }
    return r < 0 ? r : 0;
}

/// Appends `value` as dispatch type `type` (the value is converted to it first).
int AppendValue(sd_bus_message* message, VarType type, Variant value)
{
    if (value.Type() != type && ChangeType(value, type) != DISP_S_OK)
        value = Variant();
    switch (type) {
    case VarType::I2: {
        const int16_t v = value.IsEmpty() ? int16_t{0} : value.AsI2();
        return sd_bus_message_append_basic(message, 'n', &v);
    }
    case VarType::I4: {
        const int32_t v = value.IsEmpty() ? 0 : value.AsI4();
        return sd_bus_message_append_basic(message, 'i', &v);
    }
    case VarType::R4: {
        const double v = value.IsEmpty() ? 0.0 : value.AsR4();
        return sd_bus_message_append_basic(message, 'd', &v);
    }
    case VarType::BStr:
        return sd_bus_message_append_basic(message, 's',
                                           value.IsEmpty() ? "" : value.AsString().c_str());
    case VarType::Bool: {
        const int v = !value.IsEmpty() && value.AsBool() ? 1 : 0;
        return sd_bus_message_append_basic(message, 'b', &v);
    }
    case VarType::Record: {
        static const Variant::Bytes kNone;
        const Variant::Bytes& bytes = value.IsEmpty() ? kNone : value.AsRecord();
        return sd_bus_message_append_array(message, 'y', bytes.data(), bytes.size());
    }
    case VarType::Empty:
        break;
    }
    return -EINVAL;
}

int AppendVariant(sd_bus_message* message, VarType type, const Variant& value)
{
    const std::string signature(Signature(type));
    int r = sd_bus_message_open_container(message, 'v', signature.c_str());
    if (r >= 0)
        r = AppendValue(message, type, value);
    if (r >= 0)
        r = sd_bus_message_close_container(message);
    return r;
}

/// A reply was sent (or sending it failed): the message is dealt with, and sd-bus must not
/// answer it again.
int Handled(int sent)
{
    return sent < 0 ? sent : 1;
}

/// The method or property `name` exactly as spelt (bus names are case-sensitive).
const MemberInfo* FindExact(const InterfaceInfo& info, std::string_view name, MemberKind kind)
{
    const MemberInfo* member = info.FindMember(name);
    if (member == nullptr || member->name != name || member->kind != kind)
        return nullptr;
    return member;
}

/// How many of `member`'s arguments `signature` gives; -1 when it is not a prefix of theirs
/// that ends on an argument.
int GivenArgumentCount(const MemberInfo& member, std::string_view signature)
{
    size_t at = 0;
    const size_t count = member.ParamCount();
    for (size_t i = 0; i <= count; ++i) {
        if (at == signature.size())
            return static_cast<int>(i);
        if (i == count)
            break;
        const std::string_view expected = Signature(member.params[i].type);
        if (signature.substr(at, expected.size()) != expected)
            break;
        at += expected.size();
    }
    return -1;
}

std::string FullSignature(const MemberInfo& member)
{
    std::string signature;
    for (size_t i = 0; i < member.ParamCount(); ++i)
        signature += Signature(member.params[i].type);
    return signature;
}

} // namespace

BusDispatchObject::BusDispatchObject(sd_bus* bus, std::string path, std::string interfaceName,
                                     Dispatch& dispatch)
    : m_bus(bus), m_path(std::move(path)), m_interface(std::move(interfaceName)),
      m_eventsInterface(m_interface + ".Events"), m_dispatch(dispatch)
{
    const int r = sd_bus_add_object(m_bus, &m_slot, m_path.c_str(), &Handle, this);
    if (r < 0)
        throw std::runtime_error(fmt::format("cannot export {}: {}", m_path, strerror(-r)));
    m_dispatch.SetEventSink(this);
}

BusDispatchObject::~BusDispatchObject()
{
    m_dispatch.SetEventSink(nullptr);
    sd_bus_slot_unref(m_slot);
}

std::string BusDispatchObject::IntrospectXml(const InterfaceInfo& info,
                                             std::string_view interfaceName)
{
    std::string xml = fmt::format("  <interface name=\"{}\">\n", interfaceName);
    Annotate(xml, "    ", "DispatchInterface", info.name);
    for (const MemberInfo& member : info.members) {
        if (member.kind == MemberKind::Property) {
            xml += fmt::format("  <property name=\"{}\" type=\"{}\" access=\"{}\">\n", member.name,
                               Signature(member.type), member.canPut ? "readwrite" : "read");
            AnnotateMember(xml, member);
            xml += "  </property>\n";
            continue;
        }
        xml += fmt::format("  <method name=\"{}\">\n", member.name);
        for (size_t i = 0; i < member.ParamCount(); ++i)
            Arg(xml, member.params[i], "in");
        if (member.type != VarType::Empty)
            Arg(xml, ParamInfo{.name = "result", .type = member.type, .typeName = member.typeName},
                "out");
        for (size_t i = 0; i < member.ParamCount(); ++i) {
            if (member.params[i].byRef)
                Arg(xml, member.params[i], "out");
        }
        AnnotateMember(xml, member);
        xml += "  </method>\n";
    }
    xml += "  </interface>\n";
    xml += fmt::format("  <interface name=\"{}.Events\">\n", interfaceName);
    Annotate(xml, "    ", "DispatchInterface", info.eventsName);
    for (const EventInfo& event : info.events) {
        xml += fmt::format("  <signal name=\"{}\">\n", event.name);
        for (size_t i = 0; i < event.ParamCount(); ++i)
            xml += fmt::format("    <arg name=\"{}\" type=\"{}\"/>\n", event.params[i].name,
                               Signature(event.params[i].type));
        Annotate(xml, "    ", "EventId",
                 fmt::format("0x{:08x}", static_cast<uint32_t>(event.eventId)));
        xml += "  </signal>\n";
    }
    xml += "  </interface>\n";
    return xml;
}

int BusDispatchObject::Handle(sd_bus_message* message, void* self, sd_bus_error* error)
{
    auto& object = *static_cast<BusDispatchObject*>(self);
    if (sd_bus_message_is_method_call(message, nullptr, nullptr) <= 0)
        return 0;
    const char* interface = sd_bus_message_get_interface(message);
    const std::string_view member = sd_bus_message_get_member(message);
    const std::string_view iface = interface != nullptr ? interface : "";

    if (iface == kIntrospectable && member == "Introspect") {
        std::string xml = "<!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object "
                          "Introspection 1.0//EN\"\n"
                          "\"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">\n"
                          "<node>\n"
                          "  <interface name=\"org.freedesktop.DBus.Peer\">\n"
                          "  <method name=\"Ping\"/>\n"
                          "  <method name=\"GetMachineId\"><arg type=\"s\" direction=\"out\"/>"
                          "</method>\n"
                          "  </interface>\n"
                          "  <interface name=\"org.freedesktop.DBus.Introspectable\">\n"
                          "  <method name=\"Introspect\"><arg type=\"s\" direction=\"out\"/>"
                          "</method>\n"
                          "  </interface>\n"
                          "  <interface name=\"org.freedesktop.DBus.Properties\">\n"
                          "  <method name=\"Get\"><arg type=\"s\" direction=\"in\"/>"
                          "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"out\"/>"
                          "</method>\n"
                          "  <method name=\"Set\"><arg type=\"s\" direction=\"in\"/>"
                          "<arg type=\"s\" direction=\"in\"/><arg type=\"v\" direction=\"in\"/>"
                          "</method>\n"
                          "  <method name=\"GetAll\"><arg type=\"s\" direction=\"in\"/>"
                          "<arg type=\"a{sv}\" direction=\"out\"/></method>\n"
                          "  <signal name=\"PropertiesChanged\"><arg type=\"s\"/>"
                          "<arg type=\"a{sv}\"/><arg type=\"as\"/></signal>\n"
                          "  </interface>\n";
        xml += IntrospectXml(object.m_dispatch.TypeInfo(), object.m_interface);
        xml += "</node>\n";
        return Handled(sd_bus_reply_method_return(message, "s", xml.c_str()));
    }
    if (iface == kProperties)
        return Handled(object.HandlePropertyCall(message));
    if (!iface.empty() && iface != object.m_interface)
        return 0;
    const MemberInfo* found = FindExact(object.m_dispatch.TypeInfo(), member, MemberKind::Method);
    if (found == nullptr)
        return SetError(error, SD_BUS_ERROR_UNKNOWN_METHOD,
                        fmt::format("{} has no method {}", object.m_interface, member));
    try {
        return Handled(object.HandleMethod(message, *found));
    } catch (const std::exception& e) {
        return SetError(error, kFailed, e.what());
    }
}

int BusDispatchObject::HandleMethod(sd_bus_message* message, const MemberInfo& member)
{
    const char* signature = sd_bus_message_get_signature(message, 1);
    const int given = GivenArgumentCount(member, signature != nullptr ? signature : "");
    if (given < 0 || static_cast<size_t>(given) < member.RequiredParamCount())
        return sd_bus_reply_method_errorf(
            message, SD_BUS_ERROR_INVALID_ARGS, "%.*s takes (%s), not (%s)",
            static_cast<int>(member.name.size()), member.name.data(), FullSignature(member).c_str(),
            signature != nullptr ? signature : "");
    std::vector<Variant> args(static_cast<size_t>(given));
    for (int i = 0; i < given; ++i) {
        if (const int r = ReadValue(message, Signature(member.params[i].type), args[i]); r < 0)
            return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS,
                                              "argument %d does not fit", i + 1);
    }
    Variant result;
    DispatchError details;
    const int32_t code =
        m_dispatch.Invoke(member.memberId, DISPATCH_METHOD, args, result, &details);
    if (code != DISP_S_OK) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        DispatchFailure(&error, code, details, member);
        const int r = sd_bus_reply_method_error(message, &error);
        sd_bus_error_free(&error);
        return r;
    }
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(message, &raw);
    if (r < 0)
        return r;
    const Message reply(raw);
    if (member.type != VarType::Empty)
        r = AppendValue(raw, member.type, result);
    for (size_t i = 0; r >= 0 && i < member.ParamCount(); ++i) {
        const ParamInfo& param = member.params[i];
        if (!param.byRef)
            continue;
        // An optional argument left off comes back as its default.
        const Variant value =
            i < args.size() && !args[i].IsEmpty() ? args[i] : Variant(param.optionalDefault);
        r = AppendValue(raw, param.type, value);
    }
    if (r < 0)
        return r;
    return sd_bus_send(nullptr, raw, nullptr);
}

int BusDispatchObject::HandlePropertyCall(sd_bus_message* message)
{
    const std::string_view member = sd_bus_message_get_member(message);
    const InterfaceInfo& info = m_dispatch.TypeInfo();
    if (member == "GetAll")
        return ReplyProperties(message);
    const char* interface = nullptr;
    const char* name = nullptr;
    int r = sd_bus_message_read(message, "ss", &interface, &name);
    if (r < 0)
        return r;
    if (m_interface != interface)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_INTERFACE,
                                          "no interface %s here", interface);
    const MemberInfo* property = FindExact(info, name, MemberKind::Property);
    if (property == nullptr)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_PROPERTY,
                                          "%s has no property %s", interface, name);
    DispatchError details;
    if (member == "Get") {
        Variant value;
        const int32_t code =
            m_dispatch.Invoke(property->memberId, DISPATCH_PROPERTYGET, {}, value, &details);
        if (code != DISP_S_OK) {
            sd_bus_error error = SD_BUS_ERROR_NULL;
            DispatchFailure(&error, code, details, *property);
            r = sd_bus_reply_method_error(message, &error);
            sd_bus_error_free(&error);
            return r;
        }
        sd_bus_message* raw = nullptr;
        if ((r = sd_bus_message_new_method_return(message, &raw)) < 0)
            return r;
        const Message reply(raw);
        if ((r = AppendVariant(raw, property->type, value)) < 0)
            return r;
        return sd_bus_send(nullptr, raw, nullptr);
    }
    if (member != "Set")
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_UNKNOWN_METHOD, "no method %s here",
                                          std::string(member).c_str());
    if (!property->canPut)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_PROPERTY_READ_ONLY,
                                          "%s is read-only", name);
    const char* contents = nullptr;
    char type = 0;
    if ((r = sd_bus_message_peek_type(message, &type, &contents)) < 0 || type != 'v')
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS, "no value given");
    if ((r = sd_bus_message_enter_container(message, 'v', contents)) < 0)
        return r;
    std::array<Variant, 1> value;
    if (ReadValue(message, contents, value[0]) < 0)
        return sd_bus_reply_method_errorf(message, SD_BUS_ERROR_INVALID_ARGS,
                                          "%s cannot take a value of type %s", name, contents);
    Variant ignored;
    const int32_t code =
        m_dispatch.Invoke(property->memberId, DISPATCH_PROPERTYPUT, value, ignored, &details);
    if (code != DISP_S_OK) {
        sd_bus_error error = SD_BUS_ERROR_NULL;
        DispatchFailure(&error, code, details, *property);
        r = sd_bus_reply_method_error(message, &error);
        sd_bus_error_free(&error);
        return r;
    }
    return sd_bus_reply_method_return(message, "");
}

int BusDispatchObject::ReplyProperties(sd_bus_message* message)
{
    sd_bus_message* raw = nullptr;
    int r = sd_bus_message_new_method_return(message, &raw);
    if (r < 0)
        return r;
    const Message reply(raw);
    r = sd_bus_message_open_container(raw, 'a', "{sv}");
    for (const MemberInfo& member : m_dispatch.TypeInfo().members) {
        if (r < 0)
            return r;
        if (member.kind != MemberKind::Property)
            continue;
        Variant value;
        // A property the control cannot read now is left out rather than fail the lot.
        if (m_dispatch.Invoke(member.memberId, DISPATCH_PROPERTYGET, {}, value) != DISP_S_OK)
            continue;
        const std::string name(member.name);
        r = sd_bus_message_open_container(raw, 'e', "sv");
        if (r >= 0)
            r = sd_bus_message_append_basic(raw, 's', name.c_str());
        if (r >= 0)
            r = AppendVariant(raw, member.type, value);
        if (r >= 0)
            r = sd_bus_message_close_container(raw);
    }
    if (r >= 0)
        r = sd_bus_message_close_container(raw);
    if (r < 0)
        return r;
    return sd_bus_send(nullptr, raw, nullptr);
}

void BusDispatchObject::PropertyChanged(std::string_view name)
{
    const MemberInfo* property = m_dispatch.TypeInfo().FindMember(name);
    if (property == nullptr || property->kind != MemberKind::Property)
        return;
    Variant value;
    if (m_dispatch.Invoke(property->memberId, DISPATCH_PROPERTYGET, {}, value) != DISP_S_OK)
        return;
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(m_bus, &raw, m_path.c_str(), kProperties, "PropertiesChanged") <
        0)
        return;
    const Message signal(raw);
    const std::string propertyName(property->name);
    int r = sd_bus_message_append(raw, "s", m_interface.c_str());
    if (r >= 0)
        r = sd_bus_message_open_container(raw, 'a', "{sv}");
    if (r >= 0)
        r = sd_bus_message_open_container(raw, 'e', "sv");
    if (r >= 0)
        r = sd_bus_message_append_basic(raw, 's', propertyName.c_str());
    if (r >= 0)
        r = AppendVariant(raw, property->type, value);
    if (r >= 0)
        r = sd_bus_message_close_container(raw);
    if (r >= 0)
        r = sd_bus_message_close_container(raw);
    if (r >= 0)
        r = sd_bus_message_append(raw, "as", 0);
    if (r >= 0)
        sd_bus_send(m_bus, raw, nullptr);
    sd_bus_flush(m_bus);
}

void BusDispatchObject::Event(int32_t eventId, std::span<Variant> args)
{
    const EventInfo* event = m_dispatch.TypeInfo().FindEvent(eventId);
    if (event == nullptr)
        return;
    const std::string name(event->name);
    sd_bus_message* raw = nullptr;
    if (sd_bus_message_new_signal(m_bus, &raw, m_path.c_str(), m_eventsInterface.c_str(),
                                  name.c_str()) >= 0) {
        const Message signal(raw);
        int r = 0;
        for (size_t i = 0; r >= 0 && i < event->ParamCount() && i < args.size(); ++i)
            r = AppendValue(raw, event->params[i].type, args[i]);
        if (r >= 0)
            sd_bus_send(m_bus, raw, nullptr);
    }
    // Events come from timer ticks and engine callbacks too, outside the bus processing:
    // whatever the socket did not take at once goes now.
    sd_bus_flush(m_bus);
    if (m_eventHook)
        m_eventHook(eventId);
}

} // namespace tavrenly::app
