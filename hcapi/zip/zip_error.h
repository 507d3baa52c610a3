// Result codes of the Z/IP client stack.
//
// Every public call of the stack returns 0 or one of these negative codes
// (creation calls of the platform layer return 1/0 instead). Each layer adds
// its own failures here so that the codes stay unique across the stack.
#pragma once

enum : int {
    ZIP_ERR_MEMORY = -100,         // out of memory
    ZIP_ERR_RESOURCE = -101,       // lock, semaphore, thread or timer not created
    ZIP_ERR_FRM_BUSY = -103,       // frame layer: a frame is still pending
    ZIP_ERR_SSN_BUSY = -105,       // session layer: a command is still pending
    ZIP_ERR_NACK_WAIT = -106,      // the gateway holds the frame for a sleeping node
    ZIP_ERR_NACK = -107,           // negative acknowledgement
    ZIP_ERR_NO_ACK = -108,         // no acknowledgement
    ZIP_ERR_SEND = -109,           // sending failed
    ZIP_ERR_REPLY_TIMEOUT = -112,  // no reply within the reply wait
    ZIP_ERR_APPL_BUSY = -115,      // application layer: the send gate stayed closed
    ZIP_ERR_NODE_ID = -117,        // node id out of range
    ZIP_ERR_NO_ADDR = -118,        // no address known for the node
    ZIP_ERR_TOO_LONG = -119,       // frame too long
    ZIP_ERR_LOOP_STOPPED = -120,   // worker loop no longer running
    ZIP_ERR_LOOP_TIMEOUT = -122,   // worker loop did not end in time
    ZIP_ERR_NOT_RUNNING = -124,    // layer not running
};
