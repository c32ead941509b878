// Who listens to the relay: each channel's worker hands its chunks to the combined capture, the
// channel's display and the channel's capture log.
#pragma once

// Connects both channels to their sinks. Only while no worker runs.
void connectRelaySinks();
