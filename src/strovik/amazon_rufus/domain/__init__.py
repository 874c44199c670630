"""Data types and exceptions shared by the Rufus replay tooling."""
