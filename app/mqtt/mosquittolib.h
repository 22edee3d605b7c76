#pragma once
// libmosquitto, loaded the first time a broker is contacted: a program whose
// settings name no broker never maps it, nor the TLS libraries it brings
// along (about 2 MB of resident memory for a service that runs for months).

#include <mosquitto.h>

#include <QString>

namespace mqtt {

struct MosquittoLib {
    decltype(&::mosquitto_lib_init) lib_init;
    decltype(&::mosquitto_strerror) strerror;
    decltype(&::mosquitto_connack_string) connack_string;
    decltype(&::mosquitto_reason_string) reason_string;
    decltype(&::mosquitto_new) new_;
    decltype(&::mosquitto_destroy) destroy;
    decltype(&::mosquitto_int_option) int_option;
    decltype(&::mosquitto_username_pw_set) username_pw_set;
    decltype(&::mosquitto_will_set) will_set;
    decltype(&::mosquitto_tls_set) tls_set;
    decltype(&::mosquitto_connect_callback_set) connect_callback_set;
    decltype(&::mosquitto_message_callback_set) message_callback_set;
    decltype(&::mosquitto_disconnect_callback_set) disconnect_callback_set;
    decltype(&::mosquitto_connect_async) connect_async;
    decltype(&::mosquitto_disconnect) disconnect;
    decltype(&::mosquitto_socket) socket;
    decltype(&::mosquitto_want_write) want_write;
    decltype(&::mosquitto_loop_read) loop_read;
    decltype(&::mosquitto_loop_write) loop_write;
    decltype(&::mosquitto_loop_misc) loop_misc;
    decltype(&::mosquitto_publish) publish;
    decltype(&::mosquitto_subscribe) subscribe;
    decltype(&::mosquitto_unsubscribe) unsubscribe;
};

// The library's functions, initialised once; nullptr when it cannot be
// loaded, and then *error says why.
const MosquittoLib* mosquittoLib(QString* error = nullptr);

}  // namespace mqtt
