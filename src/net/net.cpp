// Placeholder translation unit until the network core lands.
