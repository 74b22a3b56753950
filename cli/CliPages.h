#pragma once
// The CLI commands an application brings along ("pages"). Start-up hands every started
// application one CliPages (AgentApp::RegisterCliPages) before the CLI server starts; the server
// then registers the pages beside its own command table.
//
// Two kinds of page:
// - a command of the application's own ("cfgagent/l2/..."), registered with the usage and argument
//   range given here; it exists only while its application runs;
// - a command of the server's fixed table that answers for an application which may be absent
//   ("dfw/...", "si/...", "ids/...", "cfgagent/bfd", "cfgagent/config/uplink", ...): the table
//   keeps its usage and argument range, and the page's handler answers instead of the
//   absent-application reply.
// Out-of-sync simulation ("cfgagent/set-simulate/out-of-sync VERTICAL") is registered per vertical.
//
// How a handler runs (Mode): on the CLI server thread under the global agent lock, one request at
// a time (kLocked, the default); on that thread without the lock, for pages that guard their own
// state (kUnlocked); or on the CLI server's worker thread without the lock (kDeferred), for pages
// that wait on an outside process: the server keeps answering other commands meanwhile, and
// deferred pages run one at a time, in order. An exception a handler throws is logged and answered
// with "failed to process command". Registration happens on the main thread before the server
// starts and never after.
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace CfgAgent {

// What a page handler answers: a reply text, or an error reply (ovs-appctl exits with 2).
struct CliReply {
    bool ok = true;
    std::string text;
    static CliReply Ok(std::string text) { return CliReply{true, std::move(text)}; }
    static CliReply Error(std::string text) { return CliReply{false, std::move(text)}; }
};

class CliPages {
  public:
    using Args = std::vector<std::string>;
    using Handler = std::function<CliReply(const Args&)>;
    enum class Mode { kLocked, kUnlocked, kDeferred };

    struct Page {
        std::string usage;
        int minArgs = 0;
        int maxArgs = 0;
        Handler handler;
        Mode mode = Mode::kLocked;
    };

    // A later page of the same name replaces the earlier one (logged).
    void Add(const std::string& name, const std::string& usage, int minArgs, int maxArgs,
             Handler handler, Mode mode = Mode::kLocked);
    // The reaction to "cfgagent/set-simulate/out-of-sync VERTICAL" ("config", "l2").
    void AddOutOfSync(const std::string& vertical, std::function<void()> fn);

    const Page* Find(const std::string& name) const;
    const std::function<void()>* FindOutOfSync(const std::string& vertical) const;
    const std::map<std::string, Page>& All() const { return pages_; }
    bool empty() const { return pages_.empty() && outOfSync_.empty(); }

  private:
    std::map<std::string, Page> pages_;
    std::map<std::string, std::function<void()>> outOfSync_;
};

}  // namespace CfgAgent
