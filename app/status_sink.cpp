// Hand-over of bus-status texts from the receive worker to the GUI thread:
// each text travels in an idle source attached to the GUI's main context.
#include <cstring>

#include "apipart.h"
#include "internal_apipart.h"

namespace {

std::atomic<GMainContext *> g_sink_ctx{nullptr};
std::atomic<apipart_status_fn> g_sink_fn{nullptr};

struct StatusText {
    apipart_status_fn fn;
    int label;
    char text[16];
};

gboolean deliver(gpointer data)
{
    auto *msg = static_cast<StatusText *>(data);
    msg->fn(msg->label, msg->text);
    return G_SOURCE_REMOVE;
}

}  // namespace

void apipart_set_status_sink(GMainContext *ctx, apipart_status_fn fn)
{
    if (ctx != nullptr)
        g_main_context_ref(ctx);
    GMainContext *old = g_sink_ctx.exchange(ctx, std::memory_order_acq_rel);
    g_sink_fn.store(fn, std::memory_order_release);
    if (old != nullptr)
        g_main_context_unref(old);
}

void apipart_post_status(int label, const char *text)
{
    apipart_status_fn fn = g_sink_fn.load(std::memory_order_acquire);
    if (fn == nullptr)
        return;
    auto *msg = g_new0(StatusText, 1);
    msg->fn = fn;
    msg->label = label;
    g_strlcpy(msg->text, text, sizeof msg->text);
    // An idle source always runs on the thread that iterates the context,
    // unlike g_main_context_invoke, which may run it right here.
    GSource *src = g_idle_source_new();
    g_source_set_priority(src, G_PRIORITY_DEFAULT);
    g_source_set_callback(src, deliver, msg, g_free);
    g_source_attach(src, g_sink_ctx.load(std::memory_order_acquire));
    g_source_unref(src);
}
