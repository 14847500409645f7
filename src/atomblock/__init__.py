"""Reading and writing extended XYZ files (placeholder until the package API lands)."""
