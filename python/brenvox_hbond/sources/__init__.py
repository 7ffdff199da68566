"""Where frames come from: one module per library that reads trajectories, on a common base."""
