// Keeps the game library non-empty while no rule module is built.
