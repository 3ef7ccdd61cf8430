// Test support: runs the real binary as a child process.
#pragma once
