// Late-bound access by dispatch identifier.
#include <QMetaType>
#include <algorithm>
#include <climits>
#include <cmath>

#include "controlcm.h"
#include "numtext.h"

namespace {

// A 16-bit argument from a host value: numbers are rounded half to even and
// clamped to the 16-bit range; a numeric text reads as its number; anything
// else reads as 0.
int64_t toInteger(const QVariant& v) {
    switch (v.typeId()) {
        case QMetaType::Double:
        case QMetaType::Float: {
            const double x = v.toDouble();
            return std::isfinite(x) ? platform::roundHalfEven(x) : 0;
        }
        case QMetaType::QString:
        case QMetaType::QByteArray: {
            bool ok = false;
            const double x = v.toString().trimmed().toDouble(&ok);
            return ok && std::isfinite(x) ? platform::roundHalfEven(x) : 0;
        }
        default: {
            bool ok = false;
            const qlonglong x = v.toLongLong(&ok);
            return ok ? x : 0;
        }
    }
}

int16_t toInt16(const QVariant& v) {
    return platform::clampToInt16(toInteger(v));
}

QVariant short16(int16_t v) {
    return QVariant::fromValue<short>(v);
}

bool isGet(controlcm::InvokeKind kind, const QVariantList& args) {
    return kind == controlcm::PropertyGet || (kind == controlcm::Method && args.isEmpty());
}

bool isCall(controlcm::InvokeKind kind) {
    return kind == controlcm::Method || kind == controlcm::PropertyGet;
}

}  // namespace

uint32_t controlcm::Invoke(int32_t dispid, InvokeKind kind, QVariantList& args, QVariant* result) {
    auto setResult = [result](const QVariant& v) {
        if (result) *result = v;
    };

    switch (dispid) {
        case DISPID_comport:
        case DISPID_SendRetryCount:
        case DISPID_EventName: {
            if (kind == PropertyPut) {
                if (args.size() != 1) return DISP_E_BADPARAMCOUNT;
                if (dispid == DISPID_comport)
                    setComport(toInt16(args[0]));
                else if (dispid == DISPID_SendRetryCount)
                    setSendRetryCount(toInt16(args[0]));
                else
                    setEventName(args[0].toString());
                setResult(QVariant());
                return 0;
            }
            if (!isGet(kind, args)) return DISP_E_BADPARAMCOUNT;
            if (dispid == DISPID_comport)
                setResult(short16(comport()));
            else if (dispid == DISPID_SendRetryCount)
                setResult(short16(SendRetryCount()));
            else
                setResult(EventName());
            return 0;
        }

        case DISPID_ExecWait:
        case DISPID_Exec: {
            if (!isCall(kind)) return DISP_E_MEMBERNOTFOUND;
            if (args.size() < 3 || args.size() > 6) return DISP_E_BADPARAMCOUNT;
            QString housecode = args[0].toString();
            QString devicecode = args[1].toString();
            int16_t command = toInt16(args[2]);
            int16_t brightness = args.size() > 3 ? toInt16(args[3]) : 0;
            int16_t data1 = args.size() > 4 ? toInt16(args[4]) : 0;
            int16_t data2 = args.size() > 5 ? toInt16(args[5]) : 0;
            int16_t status = 0;
            if (dispid == DISPID_ExecWait) {
                status = ExecWait(housecode, devicecode, command, brightness, data1, data2);
            } else {
                Exec(housecode, devicecode, command, brightness, data1, data2);
            }
            // Every parameter is in/out: write back the ones the host passed.
            args[0] = housecode;
            args[1] = devicecode;
            args[2] = short16(command);
            if (args.size() > 3) args[3] = short16(brightness);
            if (args.size() > 4) args[4] = short16(data1);
            if (args.size() > 5) args[5] = short16(data2);
            setResult(dispid == DISPID_ExecWait ? short16(status) : QVariant());
            return 0;
        }

        case DISPID_Init:
        case DISPID_Initx: {
            if (!isCall(kind)) return DISP_E_MEMBERNOTFOUND;
            if (!args.isEmpty()) return DISP_E_BADPARAMCOUNT;
            setResult(short16(dispid == DISPID_Init ? Init() : Initx()));
            return 0;
        }

        case DISPID_ResetCM: {
            if (!isCall(kind)) return DISP_E_MEMBERNOTFOUND;
            if (!args.isEmpty()) return DISP_E_BADPARAMCOUNT;
            ResetCM();
            setResult(QVariant());
            return 0;
        }

        case DISPID_GetEvent: {
            if (!isCall(kind)) return DISP_E_MEMBERNOTFOUND;
            if (args.size() > 1) return DISP_E_BADPARAMCOUNT;
            bool ok = false;
            int32_t timeout = 0;
            if (!args.isEmpty()) {
                const qlonglong t = args[0].toLongLong(&ok);
                timeout =
                    ok ? static_cast<int32_t>(std::clamp<qlonglong>(t, INT32_MIN, INT32_MAX)) : 0;
            }
            const QString text = GetEvent(timeout);
            if (!args.isEmpty()) args[0] = QVariant::fromValue<int>(timeout);
            setResult(text);
            return 0;
        }

        case DISPID_ClearMem: {
            if (!isCall(kind)) return DISP_E_MEMBERNOTFOUND;
            if (!args.isEmpty()) return DISP_E_BADPARAMCOUNT;
            setResult(ClearMem());
            return 0;
        }

        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}
