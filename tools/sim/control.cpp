#include "sim/control.h"

#include <httplib.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <optional>
#include <limits>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "host/gbk.h"
#include "sim/console_assets.h"
#include "sim/state_patch.h"

namespace kestrel::sim {

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr long kDefaultLimit = 1000;
constexpr long kMaxLimit = 100000;
constexpr long kMaxSeq = std::numeric_limits<long>::max();
// A stream with nothing to send writes a comment this often, which also
// finds out whether its client is still there.
constexpr auto kStreamIdle = std::chrono::seconds(15);
// A stream writes at most this often, so that a busy server wakes it and
// formats for it in batches rather than once per exchange.
constexpr auto kStreamPace = std::chrono::milliseconds(50);

// Texts of the wire are GBK; JSON's are UTF-8.
json Text(std::string_view gbk) { return Corvus::gbk::ToUtf8(gbk); }

// Appends `utf8` as a JSON string.
void AppendString(std::string& out, std::string_view utf8) {
  out += '"';
  for (const char c : utf8) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

// Appends wire text (GBK) as a JSON string.
void AppendText(std::string& out, std::string_view gbk) {
  if (std::all_of(gbk.begin(), gbk.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    AppendString(out, gbk);
  else
    AppendString(out, Corvus::gbk::ToUtf8(gbk));
}

// Or null when there is none.
void AppendOptionalText(std::string& out, const std::optional<std::string>& gbk) {
  if (gbk)
    AppendText(out, *gbk);
  else
    out += "null";
}

template <typename Number>
void AppendNumber(std::string& out, Number n) {
  char digits[32];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

// Appends one journal entry as a JSON object. Streams write thousands a
// second, so it is written directly rather than built as a json value (a
// tree of allocations per entry); the keys in nlohmann's order.
void AppendEntry(std::string& out, const Exchange& e) {
  out += "{\"conn\":";
  AppendNumber(out, e.conn);
  out += ",\"fault\":";
  if (e.fault.empty())
    out += "null";
  else
    AppendString(out, e.fault);
  out += ",\"latency_ms\":";
  if (e.latency_ms)
    AppendNumber(out, *e.latency_ms);
  else
    out += "null";
  out += ",\"outcome\":";
  AppendString(out, e.outcome);
  out += ",\"reply\":";
  AppendOptionalText(out, e.reply);
  out += ",\"request\":";
  AppendText(out, e.request);
  out += ",\"seq\":";
  AppendNumber(out, e.seq);
  out += ",\"server_reply\":";
  AppendOptionalText(out, e.server_reply);
  out += ",\"us\":";
  AppendNumber(out, e.us);
  out += '}';
}

json ToJson(const FaultPlan::Listed& f) {
  return {{"id", f.id}, {"rule", f.rule}, {"used", f.used}};
}

json ToJson(Point2 p) { return {{"x", p.x}, {"y", p.y}}; }

json ToJson(const Calibration& c) {
  return {{"scale_x", c.scale_x},   {"scale_y", c.scale_y},
          {"offset_x", c.offset_x}, {"offset_y", c.offset_y},
          {"rotation_deg", c.rotation_deg}};
}

json ToJson(const Simulator::Camera& c) {
  json colors = json::array();
  for (const auto& color : c.state_colors) colors.push_back(Text(color));
  return {{"gain", c.gain},
          {"exposure", c.exposure},
          {"intensity", c.intensity},
          {"grabbing", c.grabbing},
          {"visible", c.visible},
          {"base_line_width", c.base_line_width},
          {"state_colors", colors},
          {"shown_window", Text(c.shown_window)},
          {"templates", json::object()}};
}

// Names to values, the names as JSON text.
template <typename Map>
json ByName(const Map& map) {
  json out = json::object();
  for (const auto& [name, value] : map) out[Corvus::gbk::ToUtf8(name)] = ToJson(value);
  return out;
}

// The console file served at `path`, or nullptr.
const console::Asset* FindAsset(std::string_view path) {
  for (const console::Asset& a : console::kAssets)
    if (path == a.path) return &a;
  return nullptr;
}

std::string Dump(const json& j) { return j.dump(-1, ' ', false, json::error_handler_t::replace); }

void Send(httplib::Response& res, int status, const json& body) {
  res.status = status;
  res.set_content(Dump(body), "application/json");
}

void Fail(httplib::Response& res, int status, const std::string& why) {
  Send(res, status, {{"error", why}});
}

// The request's body as JSON into `body`; false (answered 400) when it is none.
bool Body(const httplib::Request& req, httplib::Response& res, json& body) {
  try {
    body = json::parse(req.body);
    return true;
  } catch (const json::parse_error& e) {
    Fail(res, 400, std::string("bad JSON: ") + e.what());
    return false;
  }
}

// The query parameter `name` as a whole number from `min` to `max` into
// `value`, left alone when absent; false (answered 400) when it is no such
// number.
bool Query(const httplib::Request& req, httplib::Response& res, const char* name, long min,
           long max, long& value) {
  if (!req.has_param(name)) return true;
  const std::string text = req.get_param_value(name);
  if (!ParseNumber(text, value) || value < min || value > max) {
    Fail(res, 400,
         std::string(name) + " '" + text + "' is not a whole number from " +
             std::to_string(min) + " to " + std::to_string(max));
    return false;
  }
  return true;
}

}  // namespace

struct ControlPlane::Impl {
  using Handle = void (Impl::*)(const httplib::Request&, httplib::Response&);
  // One route: how the API description shows it, and its handler. "{id}" in
  // a path is a number.
  struct Route {
    const char* method;
    const char* path;
    const char* summary;
    Handle handle;
    int status = 200;             // on success
    const char* query = nullptr;  // its query parameters, blank-separated
    bool body = false;            // takes a JSON body
  };

  explicit Impl(Parts p) : parts(p) {}

  void GetJournal(const httplib::Request& req, httplib::Response& res) {
    long since = 1, limit = kDefaultLimit;
    if (!Query(req, res, "since", 0, kMaxSeq, since) ||
        !Query(req, res, "limit", 1, kMaxLimit, limit))
      return;
    const Journal::Page page = parts.journal.Since(since, static_cast<std::size_t>(limit));
    std::string body = "{\"entries\":[";
    for (const Exchange& e : page.entries) {
      if (body.back() != '[') body += ',';
      AppendEntry(body, e);
    }
    body += "],\"next\":" + std::to_string(page.next) + "}";
    res.status = 200;
    res.set_content(body, "application/json");
  }

  void StreamJournal(const httplib::Request&, httplib::Response& res) {
    Journal& journal = parts.journal;
    const long id = journal.Subscribe();
    if (id == 0)
      return Fail(res, 503,
                  "too many journal streams (at most " +
                      std::to_string(Journal::kMaxSubscribers) + ")");
    res.set_header("Cache-Control", "no-cache");
    res.set_chunked_content_provider(
        "text/event-stream",
        [&journal, id, written = Clock::now()](std::size_t, httplib::DataSink& sink) mutable {
          std::this_thread::sleep_until(written + kStreamPace);
          const Journal::Batch batch = journal.Wait(id, std::chrono::seconds(1));
          if (batch.closed) {
            sink.done();
            return true;
          }
          std::string events;
          if (batch.missed > 0)
            events += "event: missed\ndata: " + Dump({{"missed", batch.missed}}) + "\n\n";
          for (const Exchange& e : batch.entries) {
            events += "id: " + std::to_string(e.seq) + "\ndata: ";
            AppendEntry(events, e);
            events += "\n\n";
          }
          if (events.empty()) {
            if (Clock::now() - written < kStreamIdle) return true;
            events = ": idle\n\n";
          }
          written = Clock::now();
          return sink.write(events.data(), events.size());
        },
        [&journal, id](bool) { journal.Unsubscribe(id); });
  }

  void ClearJournal(const httplib::Request&, httplib::Response& res) {
    parts.journal.Clear();
    Send(res, 200, {{"cleared", true}});
  }

  json Faults() const {
    json list = json::array();
    for (const auto& f : parts.faults.List()) list.push_back(ToJson(f));
    return list;
  }

  void GetFaults(const httplib::Request&, httplib::Response& res) {
    Send(res, 200, {{"faults", Faults()}});
  }

  void AddFault(const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!Body(req, res, body)) return;
    if (!body.is_object() || !body.contains("rule") || !body["rule"].is_string())
      return Fail(res, 400, "expected a JSON object {\"rule\": \"WORD[/K]:KIND[:ARG]\"}");
    try {
      const FaultPlan::Listed added =
          parts.faults.Add(ParseFault(body["rule"].get<std::string>()));
      res.set_header("Location", "/api/faults/" + std::to_string(added.id));
      Send(res, 201, ToJson(added));
    } catch (const std::invalid_argument& e) {
      Fail(res, 400, e.what());
    }
  }

  void ClearFaults(const httplib::Request&, httplib::Response& res) {
    parts.faults.Clear();
    Send(res, 200, {{"faults", json::array()}});
  }

  // The number in a route's "{id}", or 0 when it is out of range.
  static long Id(const httplib::Request& req) {
    long id = 0;
    return ParseNumber(std::string(req.matches[1]), id) ? id : 0;
  }

  void RemoveFault(const httplib::Request& req, httplib::Response& res) {
    if (!parts.faults.Remove(Id(req)))
      return Fail(res, 404, "no fault rule with id " + std::string(req.matches[1]));
    Send(res, 200, {{"removed", Id(req)}});
  }

  void PatchState(const httplib::Request& req, httplib::Response& res) {
    json body;
    if (!Body(req, res, body)) return;
    // Tried on a copy first: a body that fails changes nothing; one that
    // passes cannot fail on the real thing.
    try {
      Simulator::State state = parts.sim.Snapshot();
      SimConfig config = parts.sim.config();
      MergeState(body, state, config);
    } catch (const BadPatch& e) {
      return Fail(res, 400, e.what());
    }
    parts.sim.Update([&body](Simulator::State& state, SimConfig& config) {
      MergeState(body, state, config);
    });
    GetState(req, res);
  }

  void GetState(const httplib::Request&, httplib::Response& res) {
    const Simulator::State state = parts.sim.Snapshot();
    const SimConfig& config = parts.sim.config();
    json cameras = ByName(state.cameras);
    // Templates are kept by camera or window: one without settings of its
    // own shows the defaults the simulator answers for it.
    for (const auto& [owner, templates] : state.templates) {
      json& camera = cameras[Corvus::gbk::ToUtf8(owner)];
      if (camera.is_null()) camera = ToJson(Simulator::Camera{});
      for (const auto& [name, t] : templates)
        camera["templates"][Corvus::gbk::ToUtf8(name)] = {{"region", Text(t.region)},
                                                          {"number", t.number}};
    }
    Send(res, 200,
         {{"cameras", std::move(cameras)},
          {"wafer",
           {{"center", ToJson(config.wafer_center)},
            {"radius", config.wafer_radius},
            {"points", config.edge_points},
            {"noise", config.edge_noise},
            {"seed", config.seed}}},
          {"calibrations",
           {{"default", ToJson(config.default_calibration)},
            {"cameras", ByName(config.calibrations)}}},
          {"rotate_centers",
           {{"default", ToJson(config.default_rotate_center)},
            {"cameras", ByName(config.rotate_centers)}}},
          {"autofocus_ms", config.autofocus_ms}});
  }

  void GetConnections(const httplib::Request&, httplib::Response& res) {
    json list = json::array();
    for (const wire::Connection& c : parts.server.Connections())
      list.push_back({{"id", c.id}, {"peer", c.peer}});
    Send(res, 200, {{"connections", std::move(list)}});
  }

  void DropConnection(const httplib::Request& req, httplib::Response& res) {
    if (!parts.server.Drop(Id(req)))
      return Fail(res, 404, "no open connection with id " + std::string(req.matches[1]));
    Send(res, 200, {{"dropped", Id(req)}});
  }

  void Reset(const httplib::Request&, httplib::Response& res) {
    parts.sim.Reset();
    parts.faults.Restore();
    parts.journal.Clear();
    Send(res, 200, {{"faults", Faults()}});
  }

  void GetIndex(const httplib::Request&, httplib::Response& res) {
    Send(res, 200,
         {{"name", "kestrel-sim control plane"}, {"api", "/api/openapi.json"}, {"console", "/"}});
  }

  // The console's page and the files it loads, as compiled in.
  void GetAsset(const httplib::Request& req, httplib::Response& res) {
    const console::Asset* asset = FindAsset(req.path);
    if (asset == nullptr) return Fail(res, 404, "no console file " + req.path);
    res.set_header("Cache-Control", "no-cache");
    res.set_content(asset->body.data(), asset->body.size(), asset->type);
  }

  void GetOpenApi(const httplib::Request&, httplib::Response& res) {
    json paths = json::object();
    for (const Route& r : Routes()) {
      const console::Asset* asset = FindAsset(r.path);
      json op = {{"summary", r.summary},
                 {"responses",
                  {{std::to_string(r.status),
                    {{"description", asset ? std::string_view(asset->type) : "JSON"}}}}}};
      json params = json::array();
      if (std::string_view(r.path).find("{id}") != std::string_view::npos)
        params.push_back(
            {{"name", "id"}, {"in", "path"}, {"required", true}, {"schema", {{"type", "integer"}}}});
      std::string_view query = r.query ? r.query : "";
      while (!query.empty()) {
        const std::size_t blank = query.find(' ');
        params.push_back({{"name", std::string(query.substr(0, blank))},
                          {"in", "query"},
                          {"schema", {{"type", "integer"}}}});
        query = blank == std::string_view::npos ? "" : query.substr(blank + 1);
      }
      if (!params.empty()) op["parameters"] = std::move(params);
      if (r.body)
        op["requestBody"] = {{"content", {{"application/json", {{"schema", {{"type", "object"}}}}}}}};
      std::string method = r.method;
      for (char& ch : method) ch = static_cast<char>(ch - 'A' + 'a');
      paths[r.path][method] = std::move(op);
    }
    Send(res, 200,
         {{"openapi", "3.0.3"},
          {"info", {{"title", "kestrel-sim control plane"}, {"version", "1"}}},
          {"paths", std::move(paths)}});
  }

  static const std::vector<Route>& Routes();

  void Register() {
    for (const Route& r : Routes()) {
      std::string pattern = r.path;
      const std::size_t id = pattern.find("{id}");
      if (id != std::string::npos) pattern.replace(id, 4, "(\\d+)");
      httplib::Server::Handler handler = [this, h = r.handle](const httplib::Request& req,
                                                               httplib::Response& res) {
        (this->*h)(req, res);
      };
      const std::string_view method = r.method;
      if (method == "GET") http.Get(pattern, handler);
      if (method == "POST") http.Post(pattern, handler);
      if (method == "DELETE") http.Delete(pattern, handler);
      if (method == "PATCH") http.Patch(pattern, handler);
    }
    // Whatever went wrong without a handler's own message gets one.
    http.set_error_handler(httplib::Server::HandlerWithResponse([](const httplib::Request& req,
                                                                    httplib::Response& res) {
      if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
      if (res.status == 404)
        Fail(res, 404, "no route " + req.method + " " + req.path + " (see /api/openapi.json)");
      else if (res.status == 413)
        Fail(res, 413, "request body over " + std::to_string(kMaxControlBody) + " bytes");
      else
        Fail(res, res.status, "malformed HTTP request");
      return httplib::Server::HandlerResponse::Handled;
    }));
    http.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr thrown) {
          try {
            std::rethrow_exception(thrown);
          } catch (const std::exception& e) {
            Fail(res, 500, e.what());
          } catch (...) {
            Fail(res, 500, "unknown error");
          }
        });
  }

  Parts parts;
  httplib::Server http;
  std::thread thread;
  int port = 0;
};

const std::vector<ControlPlane::Impl::Route>& ControlPlane::Impl::Routes() {
  static const std::vector<Route> routes = {
    {"GET", "/", "The console: live wire log, fault rules, wafer drawing (HTML)", &Impl::GetAsset},
    {"GET", "/console.css", "The console's style sheet", &Impl::GetAsset},
    {"GET", "/console.js", "The console's script", &Impl::GetAsset},
    {"GET", "/api", "What this is, and where the API description is", &Impl::GetIndex},
    {"GET", "/api/openapi.json", "This description of the routes", &Impl::GetOpenApi},
    {"GET", "/api/journal",
     "Journal entries from sequence number since (default 1), at most limit (default 1000), "
     "and the next number to ask for",
     &Impl::GetJournal, 200, "since limit"},
    {"GET", "/api/journal/stream", "Journal entries as server-sent events, as they come",
     &Impl::StreamJournal},
    {"DELETE", "/api/journal", "Clears the journal (numbering goes on)", &Impl::ClearJournal},
    {"GET", "/api/faults", "The fault rules in force, with their ids and uses", &Impl::GetFaults},
    {"POST", "/api/faults", "Adds a fault rule: {\"rule\": \"WORD[/K]:KIND[:ARG]\"}",
     &Impl::AddFault, 201, nullptr, true},
    {"DELETE", "/api/faults", "Removes every fault rule", &Impl::ClearFaults},
    {"DELETE", "/api/faults/{id}", "Removes one fault rule", &Impl::RemoveFault},
    {"GET", "/api/state",
     "The simulated machine: cameras, templates, wafer, calibrations, rotation centres",
     &Impl::GetState},
    {"PATCH", "/api/state",
     "Changes the state from the next request on: a JSON merge body over the shape GET "
     "/api/state shows (cameras' gain, exposure, intensity, grabbing, visible; wafer center, "
     "radius, points, noise; calibrations; rotate_centers; autofocus_ms; null removes a "
     "camera's entry); all or nothing, answers the new state",
     &Impl::PatchState, 200, nullptr, true},
    {"GET", "/api/connections", "The open client connections", &Impl::GetConnections},
    {"DELETE", "/api/connections/{id}", "Drops one client connection", &Impl::DropConnection},
    {"POST", "/api/reset",
     "Back to the state the command line gave: simulated state and set-up, fault rules and "
     "journal",
     &Impl::Reset},
  };
  return routes;
}

ControlPlane::ControlPlane(Parts parts) : impl_(std::make_unique<Impl>(parts)) {}

ControlPlane::~ControlPlane() { Stop(); }

void ControlPlane::Start(const std::string& address, int port) {
  Impl& i = *impl_;
  i.Register();
  // Room for every stream and as many requests besides.
  i.http.new_task_queue = [] { return new httplib::ThreadPool(2 * Journal::kMaxSubscribers); };
  i.http.set_payload_max_length(kMaxControlBody);
  i.http.set_keep_alive_timeout(1);  // a stop waits this long for idle clients at most
  i.port = port == 0 ? i.http.bind_to_any_port(address)
                     : (i.http.bind_to_port(address, port) ? port : -1);
  if (i.port < 0)
    throw std::runtime_error("cannot serve HTTP on " + address + ":" + std::to_string(port));
  i.thread = std::thread([&i] { i.http.listen_after_bind(); });
}

void ControlPlane::Stop() {
  if (!impl_->thread.joinable()) return;
  impl_->parts.journal.CloseStreams();
  impl_->http.stop();
  impl_->thread.join();
}

int ControlPlane::port() const { return impl_->port; }

}  // namespace kestrel::sim
