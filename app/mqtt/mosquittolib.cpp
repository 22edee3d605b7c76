#include "mosquittolib.h"

#include <QLibrary>

namespace mqtt {

namespace {

struct Loaded {
    MosquittoLib lib{};
    QString error;
    bool ok = false;
};

template <typename F>
bool resolve(QLibrary& l, const char* name, F& f, QString& missing) {
    f = reinterpret_cast<F>(l.resolve(name));
    if (!f) missing = QString::fromLatin1(name);
    return f != nullptr;
}

Loaded load() {
    Loaded r;
    // The soname of the library's first stable interface; never unloaded.
    static QLibrary l(QStringLiteral("mosquitto"), 1);
    if (!l.load()) {
        r.error = l.errorString();
        return r;
    }
    MosquittoLib& m = r.lib;
    QString missing;
    const bool all =
        resolve(l, "mosquitto_lib_init", m.lib_init, missing) &&
        resolve(l, "mosquitto_strerror", m.strerror, missing) &&
        resolve(l, "mosquitto_connack_string", m.connack_string, missing) &&
        resolve(l, "mosquitto_reason_string", m.reason_string, missing) &&
        resolve(l, "mosquitto_new", m.new_, missing) &&
        resolve(l, "mosquitto_destroy", m.destroy, missing) &&
        resolve(l, "mosquitto_int_option", m.int_option, missing) &&
        resolve(l, "mosquitto_username_pw_set", m.username_pw_set, missing) &&
        resolve(l, "mosquitto_will_set", m.will_set, missing) &&
        resolve(l, "mosquitto_tls_set", m.tls_set, missing) &&
        resolve(l, "mosquitto_connect_callback_set", m.connect_callback_set, missing) &&
        resolve(l, "mosquitto_message_callback_set", m.message_callback_set, missing) &&
        resolve(l, "mosquitto_disconnect_callback_set", m.disconnect_callback_set, missing) &&
        resolve(l, "mosquitto_connect_async", m.connect_async, missing) &&
        resolve(l, "mosquitto_disconnect", m.disconnect, missing) &&
        resolve(l, "mosquitto_socket", m.socket, missing) &&
        resolve(l, "mosquitto_want_write", m.want_write, missing) &&
        resolve(l, "mosquitto_loop_read", m.loop_read, missing) &&
        resolve(l, "mosquitto_loop_write", m.loop_write, missing) &&
        resolve(l, "mosquitto_loop_misc", m.loop_misc, missing) &&
        resolve(l, "mosquitto_publish", m.publish, missing) &&
        resolve(l, "mosquitto_subscribe", m.subscribe, missing) &&
        resolve(l, "mosquitto_unsubscribe", m.unsubscribe, missing);
    if (!all) {
        r.error = l.fileName() + QStringLiteral(" has no ") + missing;
        return r;
    }
    m.lib_init();
    r.ok = true;
    return r;
}

}  // namespace

const MosquittoLib* mosquittoLib(QString* error) {
    static const Loaded loaded = load();
    if (!loaded.ok && error) *error = loaded.error;
    return loaded.ok ? &loaded.lib : nullptr;
}

}  // namespace mqtt
