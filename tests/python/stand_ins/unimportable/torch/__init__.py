# Stand-in for a torch that cannot be imported.
raise ImportError("stand-in torch cannot be imported")
