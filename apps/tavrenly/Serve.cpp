// SPDX-License-Identifier: LGPL-2.1-or-later

#include "apps/tavrenly/Serve.h"

#include "apps/tavrenly/BusDispatchObject.h"
#include "apps/tavrenly/BusPump.h"
#include "apps/tavrenly/MprisPlayer.h"
#include "platform/host/ControlSite.h"
#include "platform/host/EventLoop.h"
#include "player/PlayerDispatch.h"
#include "player/TavrenPlayer.h"
#include "recorder/RecorderDispatch.h"
#include "recorder/TavrenRecorder.h"
#include "tstream2/SimulatedStreamRecord.h"

#include <cstdlib>
#include <cstring>
#include <fmt/format.h>
#include <map>
#include <memory>

namespace tavrenly::app {

namespace {

constexpr const char* kFactoryPath = "/org/tavrenly";
constexpr const char* kFactoryInterface = "org.tavrenly.Factory";

struct BusUnref
{
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusUnref>;

/// A new connection to the bus the service was started for: the one that activated it, else
/// the system or the session bus.
int Connect(bool system, sd_bus** bus)
{
    if (const char* starter = std::getenv("DBUS_STARTER_ADDRESS")) {
        int r = sd_bus_new(bus);
        if (r >= 0)
            r = sd_bus_set_address(*bus, starter);
        if (r >= 0)
            r = sd_bus_set_bus_client(*bus, 1);
        if (r >= 0)
            r = sd_bus_start(*bus);
        if (r < 0)
            *bus = sd_bus_unref(*bus);
        return r;
    }
    return system ? sd_bus_open_system(bus) : sd_bus_open_user(bus);
}

/// A control's container: message boxes go to standard error (a service has no desktop), a
/// changed property to the control's bus object.
class BusSite final : public ControlSite
{
public:
    explicit BusSite(EventLoop& loop) : m_loop(loop) {}
    void PropertyChanged(std::string_view name) override
    {
        if (object != nullptr)
            object->PropertyChanged(name);
    }
    int32_t ShowMessage(std::string_view text, int32_t, std::string_view title) override
    {
        fmt::print(stderr, "[{}] {}\n", title, text);
        return kMessageAnswerOk;
    }
    EventLoop& Loop() override { return m_loop; }

    BusDispatchObject* object = nullptr;

private:
    EventLoop& m_loop;
};

struct Instance
{
    explicit Instance(EventLoop& loop) : site(loop) {}
    virtual ~Instance() = default;
    BusSite site;
};

struct PlayerInstance final : Instance
{
    PlayerInstance(EventLoop& loop, EngineKind engine)
        : Instance(loop), player(site, CreateStreamPlay(loop, engine)), dispatch(player)
    {
        player.InitNew();
    }
    ~PlayerInstance() override
    {
        // The MPRIS view and the bus object go before the player, whose close on the way
        // out must find nobody listening.
        mpris.reset();
        site.object = nullptr;
        object.reset();
    }

    TavrenPlayer player;
    PlayerDispatch dispatch;
    std::unique_ptr<BusDispatchObject> object;
    std::unique_ptr<MprisPlayer> mpris;
};

std::unique_ptr<StreamRecord> RecordEngine(EventLoop& loop, EngineKind engine)
{
    std::unique_ptr<StreamRecord> made = CreateStreamRecord(loop, engine);
    // A simulated input hears a steady tone, so that a recording has audio to show.
    if (auto* simulated = dynamic_cast<SimulatedStreamRecord*>(made.get()))
        simulated->CaptureSine(440.0, 0.5);
    return made;
}

struct RecorderInstance final : Instance
{
    RecorderInstance(EventLoop& loop, EngineKind engine)
        : Instance(loop), recorder(site, RecordEngine(loop, engine)), dispatch(recorder)
    {
        recorder.InitNew();
    }
    ~RecorderInstance() override
    {
        site.object = nullptr;
        object.reset();
    }

    TavrenRecorder recorder;
    RecorderDispatch dispatch;
    std::unique_ptr<BusDispatchObject> object;
};

const char* EngineName(EngineKind kind)
{
    switch (kind) {
    case EngineKind::Simulated:
        return "simulated";
    case EngineKind::Null:
        return "null";
    default:
        return "device";
    }
}

/// The factory object and every control it made.
class Service
{
public:
    Service(sd_bus* bus, EventLoop& loop, BusPump& pump, const ServeOptions& options)
        : m_bus(bus), m_loop(loop), m_pump(pump), m_options(options)
    {
        static const sd_bus_vtable kFactoryTable[] = {
            SD_BUS_VTABLE_START(0),
            SD_BUS_METHOD("CreatePlayer", "", "o", &Call, 0),
            SD_BUS_METHOD("CreateRecorder", "", "o", &Call, 0),
            SD_BUS_METHOD("Destroy", "o", "", &Call, 0),
            SD_BUS_METHOD("AdvanceTime", "u", "", &Call, 0),
            SD_BUS_METHOD("Quit", "", "", &Call, 0),
            SD_BUS_PROPERTY("Engine", "s", &GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_PROPERTY("VirtualTime", "b", &GetProperty, 0, SD_BUS_VTABLE_PROPERTY_CONST),
            SD_BUS_VTABLE_END,
        };
        const int r = sd_bus_add_object_vtable(bus, &m_slot, kFactoryPath, kFactoryInterface,
                                               kFactoryTable, this);
        if (r < 0)
            throw std::runtime_error(
                fmt::format("cannot export {}: {}", kFactoryPath, strerror(-r)));
        // Clients find new controls through the object manager's signals as well.
        sd_bus_add_object_manager(bus, &m_manager, kFactoryPath);
    }
    ~Service()
    {
        for (auto& [path, instance] : m_instances)
            Forget(*instance);
        m_instances.clear();
        sd_bus_slot_unref(m_manager);
        sd_bus_slot_unref(m_slot);
    }
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

private:
    void Forget(Instance& instance)
    {
        if (auto* player = dynamic_cast<PlayerInstance*>(&instance); player && player->mpris)
            m_pump.Remove(player->mpris->Bus());
    }

    std::string CreatePlayer()
    {
        const int number = ++m_players;
        const std::string path = fmt::format("/org/tavrenly/Player/{}", number);
        auto made = std::make_unique<PlayerInstance>(m_loop, m_options.engine);
        made->object = std::make_unique<BusDispatchObject>(m_bus, path, "org.tavrenly.TavrenPlayer",
                                                           made->dispatch);
        made->site.object = made->object.get();
        sd_bus* own = nullptr;
        const std::string name = fmt::format("org.mpris.MediaPlayer2.tavrenly.player{}", number);
        if (Connect(m_options.system, &own) >= 0 &&
            sd_bus_request_name(own, name.c_str(), 0) >= 0) {
            made->mpris = std::make_unique<MprisPlayer>(own, made->player, path + "/Track");
            m_pump.Add(own);
            MprisPlayer* mpris = made->mpris.get();
            made->object->OnEvent([mpris](int32_t eventId) { mpris->PlayerEvent(eventId); });
        } else {
            sd_bus_flush_close_unref(own);
            fmt::print(stderr, "tavrenly serve: {} has no MPRIS name {}\n", path, name);
        }
        m_instances.emplace(path, std::move(made));
        return path;
    }

    std::string CreateRecorder()
    {
        const std::string path = fmt::format("/org/tavrenly/Recorder/{}", ++m_recorders);
        auto made = std::make_unique<RecorderInstance>(m_loop, m_options.engine);
        made->object = std::make_unique<BusDispatchObject>(
            m_bus, path, "org.tavrenly.TavrenRecorder", made->dispatch);
        made->site.object = made->object.get();
        m_instances.emplace(path, std::move(made));
        return path;
    }

    static int Call(sd_bus_message* message, void* self, sd_bus_error* error)
    {
        auto& service = *static_cast<Service*>(self);
        const std::string_view member = sd_bus_message_get_member(message);
        try {
            if (member == "CreatePlayer" || member == "CreateRecorder") {
                const std::string path =
                    member == "CreatePlayer" ? service.CreatePlayer() : service.CreateRecorder();
                sd_bus_emit_object_added(service.m_bus, path.c_str());
                return sd_bus_reply_method_return(message, "o", path.c_str());
            }
            if (member == "Destroy") {
                const char* path = nullptr;
                if (const int r = sd_bus_message_read(message, "o", &path); r < 0)
                    return r;
                const auto found = service.m_instances.find(path);
                if (found == service.m_instances.end())
                    return sd_bus_error_setf(error, SD_BUS_ERROR_UNKNOWN_OBJECT, "no control at %s",
                                             path);
                sd_bus_emit_object_removed(service.m_bus, path);
                service.Forget(*found->second);
                service.m_instances.erase(found);
                return sd_bus_reply_method_return(message, "");
            }
            if (member == "AdvanceTime") {
                uint32_t ms = 0;
                if (const int r = sd_bus_message_read(message, "u", &ms); r < 0)
                    return r;
                if (!service.m_loop.Advance(ms))
                    return sd_bus_error_setf(error, SD_BUS_ERROR_NOT_SUPPORTED,
                                             "time moves by itself with the %s engine",
                                             EngineName(service.m_options.engine));
                return sd_bus_reply_method_return(message, "");
            }
            service.m_pump.Stop();
            return sd_bus_reply_method_return(message, "");
        } catch (const std::exception& e) {
            return sd_bus_error_set(error, "org.tavrenly.Error.Failed", e.what());
        }
    }

    static int GetProperty(sd_bus*, const char*, const char*, const char* property,
                           sd_bus_message* reply, void* self, sd_bus_error*)
    {
        const auto& service = *static_cast<const Service*>(self);
        if (std::strcmp(property, "Engine") == 0)
            return sd_bus_message_append(reply, "s", EngineName(service.m_options.engine));
        return sd_bus_message_append(reply, "b", service.m_loop.IsVirtual());
    }

    sd_bus* m_bus;
    EventLoop& m_loop;
    BusPump& m_pump;
    const ServeOptions& m_options;
    sd_bus_slot* m_slot = nullptr;
    sd_bus_slot* m_manager = nullptr;
    int m_players = 0;
    int m_recorders = 0;
    std::map<std::string, std::unique_ptr<Instance>> m_instances;
};

} // namespace

int RunServe(const ServeOptions& given)
{
    ServeOptions options = given;
    options.engine = ResolveEngineKind(options.engine);
    EventLoop loop(options.engine == EngineKind::Simulated ? EventLoop::Clock::Virtual
                                                           : EventLoop::Clock::Real);
    sd_bus* raw = nullptr;
    if (const int r = Connect(options.system, &raw); r < 0) {
        fmt::print(stderr, "tavrenly serve: cannot reach the {} bus: {}\n",
                   options.system ? "system" : "session", strerror(-r));
        return 1;
    }
    const Bus bus(raw);
    BusPump pump(loop);
    pump.Add(bus.get());
    Service service(bus.get(), loop, pump, options);
    // The name last: a client woken by its arrival finds the factory already there.
    if (const int r = sd_bus_request_name(bus.get(), options.busName.c_str(), 0); r < 0) {
        fmt::print(stderr, "tavrenly serve: cannot own {}: {}\n", options.busName, strerror(-r));
        return 1;
    }
    fmt::print(stderr, "tavrenly serve: {} on the {} bus, {} engine\n", options.busName,
               options.system ? "system" : "session", EngineName(options.engine));
    return pump.Run();
}

} // namespace tavrenly::app
