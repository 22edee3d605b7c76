// Interface maintenance: ResetCM.
#include "controlcm.h"
#include "controlcm_p.h"

void controlcm::ResetCM() {
    d->ResetCM();
}

void controlcm::Private::ResetCM() {
    // Errors of the serial component are ignored throughout.
    bClosing = true;
    PendingInput.clear();
    // Only an open port is closed, and then the event handle as well.
    if (MSComm1->PortOpen()) {
        MSComm1->setPortOpen(false);
        hEvent.close();
    }
}
