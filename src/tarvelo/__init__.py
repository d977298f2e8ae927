"""tarvelo: load flow of unbalanced distribution networks, conductor by conductor.

The engine is reached through the extension module ``tarvelo.cy_engine``.
"""
