#include "protocol/curlmulti.h"
#include "protocol/curlreply.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <utility>

CurlMulti *CurlMulti::instance()
{
    // Made on first use and kept: the cached connections are what makes the next request cheap.
    static CurlMulti *multi = [] {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        return new CurlMulti;
    }();
    return multi;
}

CurlMulti::CurlMulti()
    : multi(curl_multi_init())
{
    curl_multi_setopt(multi, CURLMOPT_SOCKETFUNCTION, &CurlMulti::onSocket);
    curl_multi_setopt(multi, CURLMOPT_SOCKETDATA, this);
    curl_multi_setopt(multi, CURLMOPT_TIMERFUNCTION, &CurlMulti::onTimer);
    curl_multi_setopt(multi, CURLMOPT_TIMERDATA, this);
    curl_multi_setopt(multi, CURLMOPT_PIPELINING, long(CURLPIPE_MULTIPLEX));
    timer.setSingleShot(true);
    timer.callOnTimeout(this, [this] { act(CURL_SOCKET_TIMEOUT, 0); });
}

CurlMulti::~CurlMulti()
{
    for (CURL *easy : qAsConst(spare))
        curl_easy_cleanup(easy);
    curl_multi_cleanup(multi);
}

CURL *CurlMulti::takeEasy()
{
    return spare.isEmpty() ? curl_easy_init() : spare.takeLast();
}

void CurlMulti::giveBack(CURL *easy)
{
    if (!easy)
        return;
    if (spare.size() >= 16) { // more than ever run side by side
        curl_easy_cleanup(easy);
        return;
    }
    // A share is a manager's own and may go with it; the options all go back to their defaults.
    curl_easy_setopt(easy, CURLOPT_SHARE, nullptr);
    curl_easy_reset(easy);
    spare.append(easy);
}

bool CurlMulti::add(CURL *easy)
{
    return curl_multi_add_handle(multi, easy) == CURLM_OK;
}

void CurlMulti::remove(CURL *easy)
{
    curl_multi_remove_handle(multi, easy);
}

int CurlMulti::onTimer(CURLM *, long timeoutMs, void *self)
{
    // Never acted on from inside curl: the timer calls back once curl has returned.
    auto *multi = static_cast<CurlMulti *>(self);
    if (timeoutMs < 0)
        multi->timer.stop();
    else
        multi->timer.start(int(qMin<long>(timeoutMs, 24L * 3600 * 1000)));
    return 0;
}

int CurlMulti::onSocket(CURL *, curl_socket_t socket, int what, void *self, void *)
{
    static_cast<CurlMulti *>(self)->watch(socket, what);
    return 0;
}

// curl lets go of a kept connection's socket after each transfer and takes it up again with the
// next: its notifiers are only disabled in between, and never deleted while they may be signalling.
// One left for a socket number that comes back is the right one again, the number being all it holds.
void CurlMulti::watch(curl_socket_t socket, int what)
{
    Watch &watch = watches[socket];
    const auto enable = [this, socket](QSocketNotifier *&notifier, bool on, QSocketNotifier::Type type, int event) {
        if (on && !notifier) {
            notifier = new QSocketNotifier(qintptr(socket), type, this);
            connect(notifier, &QSocketNotifier::activated, this, [this, socket, event] { act(socket, event); });
        } else if (notifier && notifier->isEnabled() != on) {
            notifier->setEnabled(on);
        }
    };
    enable(watch.read, what == CURL_POLL_IN || what == CURL_POLL_INOUT, QSocketNotifier::Read, CURL_CSELECT_IN);
    enable(watch.write, what == CURL_POLL_OUT || what == CURL_POLL_INOUT, QSocketNotifier::Write, CURL_CSELECT_OUT);
}

void CurlMulti::act(curl_socket_t socket, int events)
{
    int running = 0;
    working = true;
    curl_multi_socket_action(multi, socket, events, &running);
    takeDone();
    working = false;
    // A reader may start, end or delete requests, or turn the event loop, in any of these.
    for (const QPointer<CurlReply> &reply : std::exchange(news, {})) {
        if (reply)
            reply->deliver();
    }
}

bool CurlMulti::deliverLater(CurlReply *reply)
{
    if (working)
        news.append(reply);
    return working;
}

void CurlMulti::takeDone()
{
    int left = 0;
    while (CURLMsg *message = curl_multi_info_read(multi, &left)) {
        if (message->msg != CURLMSG_DONE)
            continue;
        CURL *easy = message->easy_handle;
        const CURLcode result = message->data.result; // the message goes with the handle's removal
        char *reply = nullptr;
        curl_easy_getinfo(easy, CURLINFO_PRIVATE, &reply);
        remove(easy);
        reinterpret_cast<CurlReply *>(reply)->transferDone(result);
    }
}
