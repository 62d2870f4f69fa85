"""Pure-Python tooling: MIP packet encoder, motion model, capture generator
and a device simulator on a pseudo-terminal. Standard library only; never
imports the extension module."""
