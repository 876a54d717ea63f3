"""Domain exceptions of the SellerSprite integration (stand-in for the host's module)."""


class SellerSpriteConfigError(Exception):
    """卖家精灵配置或参数错误。"""

    def __init__(self, message: str) -> None:
        super().__init__(message)
