/*
 * The one process-wide state record. Its initial values (COM2, speed
 * index 5, reader wanted) are the member initialisers in app.h.
 */
#include "app.h"

const char kWindowClassName[] = "TavrinWindow";
const char kWindowTitle[] = "Tavrin transference";

AppStateRecord AppState;
