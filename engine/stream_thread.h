// The streaming thread: follows the buffer's play cursor and re-renders every
// block the cursor has left. The stop handshake is two counters.
#pragma once

#include <cstdint>

struct Player;

// Ring index of the block under a play cursor given in bytes.
std::uint32_t CursorBlock(std::uint32_t playCursor);

void StreamThread(Player* player);

// Starts the thread at real-time priority where the system allows it.
// threadRunning is raised before the thread exists, so a stop that comes
// at once still waits for it. False when no thread could be had (no
// resources, or no room for its state): then none runs.
bool StartStreamThread(Player& player);

// Asks the thread to leave and waits (8 ms polls) until it has.
void StopStreamThread(Player& player);
