// Interface maintenance (Part 2.4): ResetCM.
#include "controlcm.h"
#include "controlcm_p.h"

void controlcm::ResetCM() {
    d->ResetCM();
}

void controlcm::Private::ResetCM() {
    // 1. Errors of the serial component are ignored throughout.
    // 2.
    bClosing = true;
    PendingInput.clear();
    // 3. Only an open port is closed, and then the event handle as well.
    if (MSComm1->PortOpen()) {
        MSComm1->setPortOpen(false);
        hEvent.close();
    }
}
